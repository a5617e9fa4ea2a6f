#include "extract.h"

// Placeholder until archive extraction is built: nothing is unpacked.
void extractArchives() {}
