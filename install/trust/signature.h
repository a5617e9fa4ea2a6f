// The detached CMS signature of the media's manifest, checked with the system's crypt32, looked up
// at run time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// True when the system has the crypt32 functions the checks below need.
bool cryptMessagesAvailable();

// Whether signature is a detached CMS signature of content, made with SHA-256 by the holder of
// the certificate signer (its encoded bytes), whose signed messageDigest is content's own
// SHA-256 as the system computes it, and whose signature value verifies. False with the reason
// in the trace log's words otherwise.
bool verifyDetachedSignature(std::string_view signature, std::string_view content, std::string_view signer,
                             std::string& reason);
