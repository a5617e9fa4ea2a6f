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
else()
  set(hex "")
endif()
# The certificate follows a tag and its length (4 bytes, least significant first), so that a tool
# can read from the program which media it requires (tools/mkmedia check); a build without one has
# the tag and a length of 0.
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
math(EXPR size_hex "${size}" OUTPUT_FORMAT HEXADECIMAL)
string(SUBSTRING "${size_hex}" 2 -1 size_hex)
string(LENGTH "${size_hex}" size_digits)
math(EXPR padding "8 - ${size_digits}")
string(REPEAT "0" ${padding} zeros)
set(size_hex "${zeros}${size_hex}")
string(TOLOWER "${size_hex}" size_hex)
set(length "")
foreach(at 6 4 2 0)
  string(SUBSTRING "${size_hex}" ${at} 2 byte)
  string(APPEND length "${byte}")
endforeach()
string(HEX "bravik publisher certificate:" tag)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${tag}${length}${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
string(CONCAT body "namespace {\n\nconstexpr std::size_t kHead = 33;\n"
         "constexpr unsigned char kTagged[] = {\n    ${bytes}\n};\n\n} // namespace\n\n"
         "std::string_view publisherCertificate()\n{\n"
         "    return {reinterpret_cast<const char*>(kTagged) + kHead, sizeof(kTagged) - kHead};\n}\n")
file(WRITE "${OUTPUT}.new" "// Made by cmake/publisher_certificate.cmake.\n#include \"trust/publisher.h\"\n\n#include <cstddef>\n\n${body}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
