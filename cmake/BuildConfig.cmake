# Build-time configuration of Setup: the release service, the package host
# and the release verification keys. Setup reads no configuration at run
# time, so these are checked here and written into a generated header.

set(TESSALINE_RELEASE_SERVICE_HOST "releases.quorvant.com" CACHE STRING
    "Host of the release service, optionally with :port")
set(TESSALINE_PACKAGE_HOST "github.com" CACHE STRING
    "The one DNS name that package part URLs must name")
set(TESSALINE_RELEASE_PUBLIC_KEY
    "CBE9E710F5B2E34BF169AC3F2934C62994D46EFAF1097E0959C1D71100CC3B348BCED0BF5F367B983E76EEB20AB1C91A8E8930FFCBC0EEDB4367B91AABF5177C"
    CACHE STRING "P-256 release verification keys: 1 to 4 separated by commas, each 128 hex digits, X then Y")

if(NOT TESSALINE_RELEASE_SERVICE_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9]+)?$")
  message(FATAL_ERROR
    "TESSALINE_RELEASE_SERVICE_HOST must be a host name, optionally followed by :port "
    "(got \"${TESSALINE_RELEASE_SERVICE_HOST}\")")
endif()
if(TESSALINE_RELEASE_SERVICE_HOST MATCHES ":([0-9]+)$")
  if(CMAKE_MATCH_1 LESS 1 OR CMAKE_MATCH_1 GREATER 65535)
    message(FATAL_ERROR "TESSALINE_RELEASE_SERVICE_HOST has a port outside 1-65535: ${CMAKE_MATCH_1}")
  endif()
endif()
if(NOT TESSALINE_PACKAGE_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
  message(FATAL_ERROR
    "TESSALINE_PACKAGE_HOST must be a DNS name without scheme, port or path "
    "(got \"${TESSALINE_PACKAGE_HOST}\")")
endif()

# Setup trusts a release signed by any of these keys, so that a release
# signed with the old key can bring users a Setup that trusts the new one.
# Four: the key in use and its successor while a rotation lasts, with room
# for a spare of each; few enough that each one is known and accounted for.
set(_most_release_keys 4)
set(_key_list_form
  "TESSALINE_RELEASE_PUBLIC_KEY must be 1 to ${_most_release_keys} keys separated by commas, each 128 "
  "hexadecimal digits (X then Y of a P-256 public key, big-endian) and none empty")
if(TESSALINE_RELEASE_PUBLIC_KEY STREQUAL "" OR TESSALINE_RELEASE_PUBLIC_KEY MATCHES "(^,|,,|,$|;)")
  message(FATAL_ERROR ${_key_list_form} "; got \"${TESSALINE_RELEASE_PUBLIC_KEY}\".")
endif()
string(REPLACE "," ";" _release_keys "${TESSALINE_RELEASE_PUBLIC_KEY}")
list(LENGTH _release_keys TESSALINE_RELEASE_KEY_COUNT)
if(TESSALINE_RELEASE_KEY_COUNT GREATER _most_release_keys)
  message(FATAL_ERROR ${_key_list_form} "; got ${TESSALINE_RELEASE_KEY_COUNT} keys.")
endif()

# Whether a key lies on the curve is decided by the same compile-time check
# the sources use, so configure and build can never disagree.
set(_key_check_dir "${CMAKE_BINARY_DIR}/CMakeFiles/tessaline-key-check")
set(_index 0)
set(TESSALINE_PUBLIC_KEYS_BYTES "")
set(TESSALINE_PUBLIC_KEYS_HEX "")
set(TESSALINE_PUBLIC_KEY_CHECKS "")
foreach(_key IN LISTS _release_keys)
  math(EXPR _index "${_index} + 1")
  if(TESSALINE_RELEASE_KEY_COUNT EQUAL 1)
    set(_which "TESSALINE_RELEASE_PUBLIC_KEY")
  else()
    set(_which "key ${_index} of TESSALINE_RELEASE_PUBLIC_KEY")
  endif()
  string(LENGTH "${_key}" _key_length)
  if(NOT _key_length EQUAL 128 OR NOT _key MATCHES "^[0-9A-Fa-f]+$")
    message(FATAL_ERROR
      "${_which} must be exactly 128 hexadecimal digits (X then Y of a P-256 public key, big-endian); got "
      "${_key_length} characters. `tessaline-release keygen` prints one.")
  endif()
  file(WRITE "${_key_check_dir}/key_check.cpp"
    "#include \"p256_point.h\"\n"
    "static_assert(tessaline::IsP256PublicKeyHex(\"${_key}\"));\n"
    "int TessalineKeyCheck() { return 0; }\n")
  set(_saved_try_type "${CMAKE_TRY_COMPILE_TARGET_TYPE}")
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  try_compile(_key_on_curve "${_key_check_dir}/build"
    SOURCES "${_key_check_dir}/key_check.cpp"
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${PROJECT_SOURCE_DIR}/src/trust"
    CXX_STANDARD 20
    CXX_STANDARD_REQUIRED ON
    OUTPUT_VARIABLE _key_check_output)
  set(CMAKE_TRY_COMPILE_TARGET_TYPE "${_saved_try_type}")
  if(NOT _key_on_curve)
    message(FATAL_ERROR
      "${_which} is not a point on the P-256 curve: check that X and Y were copied whole and in order.")
  endif()

  string(TOUPPER "${_key}" _key_upper)
  string(REGEX REPLACE "([0-9A-F][0-9A-F])" "0x\\1, " _bytes "${_key_upper}")
  string(REGEX REPLACE ", $" "" _bytes "${_bytes}")
  if(_index GREATER 1)
    string(APPEND TESSALINE_PUBLIC_KEYS_BYTES ",\n    ")
    string(APPEND TESSALINE_PUBLIC_KEYS_HEX ", ")
  endif()
  string(APPEND TESSALINE_PUBLIC_KEYS_BYTES "{{${_bytes}}}")
  string(APPEND TESSALINE_PUBLIC_KEYS_HEX "\"${_key_upper}\"")
  string(APPEND TESSALINE_PUBLIC_KEY_CHECKS "static_assert(IsP256PublicKeyHex(\"${_key_upper}\"),\n"
    "              \"release verification key ${_index} is not a P-256 point\");\n")
endforeach()

# Code that checks one key reads kReleasePublicKey; a build with several
# keys leaves it out, so that such code cannot build trusting only the first.
set(TESSALINE_SINGLE_PUBLIC_KEY "")
if(TESSALINE_RELEASE_KEY_COUNT EQUAL 1)
  string(APPEND TESSALINE_SINGLE_PUBLIC_KEY
    "// The one key, for code that checks a single one; a build with several keys has no such name.\n"
    "inline constexpr std::array<std::uint8_t, 64> kReleasePublicKey = kReleasePublicKeys[0];\n\n")
endif()
configure_file("${PROJECT_SOURCE_DIR}/cmake/build_config.h.in"
               "${PROJECT_BINARY_DIR}/generated/build_config.h" @ONLY)
message(STATUS "Release service: ${TESSALINE_RELEASE_SERVICE_HOST}; package host: ${TESSALINE_PACKAGE_HOST}; "
               "release keys: ${TESSALINE_RELEASE_KEY_COUNT}")
