# Run as a script (cmake -P): writes OUTPUT, the source that gives install.exe the certificate of
# the publisher whose signed manifest it requires of its media, from CERTIFICATE (a DER or PEM
# file); with CERTIFICATE empty, a build that checks nothing. The bytes stand in the program as
# they are, so the same certificate always gives the same program.
#   cmake -DCERTIFICATE=<file or empty> -DOUTPUT=<source> -P publisher_certificate.cmake
if(CERTIFICATE)
  file(READ "${CERTIFICATE}" head LIMIT 11)
  if(head STREQUAL "-----BEGIN ")
    execute_process(COMMAND openssl x509 -in "${CERTIFICATE}" -outform DER -out "${OUTPUT}.der"
                    RESULT_VARIABLE converted)
    if(NOT converted EQUAL 0)
      message(FATAL_ERROR "${CERTIFICATE} is no certificate openssl can read")
    endif()
    set(der "${OUTPUT}.der")
  else()
    set(der "${CERTIFICATE}")
  endif()
  file(READ "${der}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
  set(body "namespace {\n\nconstexpr unsigned char kCertificate[] = {\n    ${bytes}\n};\n\n} // namespace\n\n"
           "std::string_view publisherCertificate()\n{\n"
           "    return {reinterpret_cast<const char*>(kCertificate), sizeof(kCertificate)};\n}\n")
else()
  set(body "std::string_view publisherCertificate()\n{\n    return {};\n}\n")
endif()
file(WRITE "${OUTPUT}.new" "// Made by cmake/publisher_certificate.cmake.\n#include \"trust/publisher.h\"\n\n${body}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
