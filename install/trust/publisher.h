// Whose media this install.exe accepts is decided when it is built, never at run time: nothing
// a user can shape while it runs (its own file read again, a compatibility setting) can turn
// the check off.
#pragma once

#include <string_view>

// The certificate (DER) of the publisher whose signed manifest this build requires of its media
// and update folders; empty for a build made without one, which checks nothing. Each program
// links the definition its build made (cmake/publisher_certificate.cmake).
std::string_view publisherCertificate();
