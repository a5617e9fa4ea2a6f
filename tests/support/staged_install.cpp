// Linked into a copy of install.exe for the end-to-end runs that use update folders: from its
// start, the update folders it looks at are as an administrator staged and locked them.
#include "staged_updates.h"

namespace {

const testing_support::StagedUpdateFolders staged;

} // namespace
