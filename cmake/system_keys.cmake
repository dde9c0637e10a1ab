# Built-in system keys: the production and development public keys are
# embedded in the program as PEM text with its zero byte. A vendor embeds its
# own keys with -DBOOTMGR_PRODUCTION_KEY=FILE -DBOOTMGR_DEVELOPMENT_KEY=FILE
# (relative paths are taken from the source directory).

set(BOOTMGR_PRODUCTION_KEY "${CMAKE_SOURCE_DIR}/keys/production.pub.pem"
    CACHE FILEPATH "PEM public key embedded as the production key")
set(BOOTMGR_DEVELOPMENT_KEY "${CMAKE_SOURCE_DIR}/keys/development.pub.pem"
    CACHE FILEPATH "PEM public key embedded as the development key")

# A 2048-bit RSA SubjectPublicKeyInfo with e = 65537 as PEM: 451 characters,
# six base64 lines of 64 and one of 8, each line ending in a newline.
string(REPEAT "[A-Za-z0-9+/]" 64 _b64_line)
string(REPEAT "[A-Za-z0-9+/]" 20 _b64_head_rest)
set(_spki_pem_regex
    "^-----BEGIN PUBLIC KEY-----\nMIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEA${_b64_head_rest}\n")
foreach(_i RANGE 1 5)
  string(APPEND _spki_pem_regex "${_b64_line}\n")
endforeach()
string(APPEND _spki_pem_regex "[A-Za-z0-9+/][A-Za-z0-9+/]IDAQAB\n-----END PUBLIC KEY-----\n$")

function(bootmgr_read_system_key name path out_var)
  if(NOT IS_ABSOLUTE "${path}")
    set(path "${CMAKE_SOURCE_DIR}/${path}")
  endif()
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "${name}: no key file at ${path}")
  endif()
  file(READ "${path}" _text)
  string(LENGTH "${_text}" _len)
  if(NOT _len EQUAL 451 OR NOT _text MATCHES "${_spki_pem_regex}")
    message(FATAL_ERROR
      "${name}: ${path} is not a 2048-bit RSA public key with exponent 65537 as a "
      "451-character PEM SubjectPublicKeyInfo (\"-----BEGIN PUBLIC KEY-----\", six "
      "base64 lines of 64 characters, one of 8, \"-----END PUBLIC KEY-----\", each "
      "line ending in a newline); make one with: openssl pkey -in KEY -pubout")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
  # Base64 and the armour lines hold no quote or backslash: only the newlines
  # need escaping in a C string literal.
  string(REGEX REPLACE "\n$" "" _literal "${_text}")
  string(REPLACE "\n" "\\n\"\n    \"" _literal "${_literal}")
  set(${out_var} "\"${_literal}\\n\"" PARENT_SCOPE)
  set(${out_var}_TEXT "${_text}" PARENT_SCOPE)
endfunction()

bootmgr_read_system_key(BOOTMGR_PRODUCTION_KEY "${BOOTMGR_PRODUCTION_KEY}" BUILTIN_PRODUCTION_KEY)
bootmgr_read_system_key(BOOTMGR_DEVELOPMENT_KEY "${BOOTMGR_DEVELOPMENT_KEY}"
                        BUILTIN_DEVELOPMENT_KEY)
if(BUILTIN_PRODUCTION_KEY_TEXT STREQUAL BUILTIN_DEVELOPMENT_KEY_TEXT)
  message(FATAL_ERROR
    "BOOTMGR_PRODUCTION_KEY and BOOTMGR_DEVELOPMENT_KEY hold the same key; "
    "development-signed images would pass as production images")
endif()

configure_file(${CMAKE_SOURCE_DIR}/cmake/builtin_keys.cpp.in
               ${CMAKE_BINARY_DIR}/generated/builtin_keys.cpp @ONLY)
target_sources(bootcore PRIVATE ${CMAKE_BINARY_DIR}/generated/builtin_keys.cpp)
