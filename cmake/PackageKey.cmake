# The package signing key, QUILLFEED_PACKAGE_PUBLIC_KEY: an ECDSA P-256 public
# key as openssl writes it, the base64 text of a PEM "PUBLIC KEY" block on one
# line (scripts/release/release-signing.sh keygen prints it; the PEM armour and
# line breaks are tolerated too). Empty: the build checks no signature.

# The 27 bytes that open every P-256 SubjectPublicKeyInfo with an uncompressed
# point (SEQUENCE, the algorithm ecPublicKey with the curve prime256v1, the
# bit string, the 0x04 of an uncompressed point) are exactly these 36 base64
# characters; X and Y follow, 64 bytes, 86 characters and one of [AQgw] and "==".
set(QF_P256_SPKI_PREFIX "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE")

# Decodes base64 text whose length is a multiple of four into a C initialiser
# list of its bytes ("0x12, 0x34, ...").
function(qf_base64_to_c_bytes text out_var)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(LENGTH "${text}" length)
  set(bytes "")
  set(pos 0)
  while(pos LESS length)
    set(group 0)
    set(count 3)
    foreach(i RANGE 3)
      math(EXPR at "${pos} + ${i}")
      string(SUBSTRING "${text}" ${at} 1 char)
      if(char STREQUAL "=")
        set(value 0)
        math(EXPR count "${count} - 1")
      else()
        string(FIND "${alphabet}" "${char}" value)
      endif()
      math(EXPR group "(${group} << 6) | ${value}")
    endforeach()
    foreach(shift 16 8 0)
      if(count GREATER 0)
        math(EXPR byte "(${group} >> ${shift}) & 255" OUTPUT_FORMAT HEXADECIMAL)
        list(APPEND bytes "${byte}")
        math(EXPR count "${count} - 1")
      endif()
    endforeach()
    math(EXPR pos "${pos} + 4")
  endwhile()
  list(JOIN bytes ", " joined)
  set(${out_var} "${joined}" PARENT_SCOPE)
endfunction()

# Sets <prefix>_SET (1 or 0) and <prefix>_XY (the key's X and Y as a C byte
# list, "0" without a key) from the key text; stops the configuration with a
# clear message when the text is not such a key.
function(qf_package_key key_text prefix)
  string(REGEX REPLACE "-----(BEGIN|END) PUBLIC KEY-----" "" key "${key_text}")
  string(REGEX REPLACE "[ \t\r\n]" "" key "${key}")
  if(key STREQUAL "")
    set(${prefix}_SET 0 PARENT_SCOPE)
    set(${prefix}_XY 0 PARENT_SCOPE)
    return()
  endif()
  if(NOT key MATCHES "^${QF_P256_SPKI_PREFIX}[A-Za-z0-9+/]+=*$")
    message(FATAL_ERROR
      "QUILLFEED_PACKAGE_PUBLIC_KEY is not an ECDSA P-256 public key as openssl writes it. Expected the "
      "base64 text of a PEM \"PUBLIC KEY\" block on one line (124 characters starting with "
      "${QF_P256_SPKI_PREFIX}), for example the output of\n"
      "  openssl pkey -pubin -in release-public.pem -outform DER | base64 -w0\n"
      "or what scripts/release/release-signing.sh keygen prints. Other curves, RSA keys and compressed "
      "points are not accepted. Got: ${key}")
  endif()
  string(LENGTH "${key}" length)
  if(NOT length EQUAL 124 OR NOT key MATCHES "[AQgw]==$")
    message(FATAL_ERROR "QUILLFEED_PACKAGE_PUBLIC_KEY is ${length} characters long or ends wrongly; a P-256 "
                        "public key in base64 is 124 characters ending in \"==\". Was a line lost or "
                        "doubled while pasting? Got: ${key}")
  endif()
  # openssl, where it is found, also makes sure that the point lies on the
  # curve: CNG would take such a key and then refuse every signature.
  find_program(QF_OPENSSL openssl)
  if(QF_OPENSSL)
    string(REGEX REPLACE "(................................................................)" "\\1\n" wrapped "${key}")
    set(pem "${CMAKE_BINARY_DIR}/package-public-key.pem")
    file(WRITE "${pem}" "-----BEGIN PUBLIC KEY-----\n${wrapped}\n-----END PUBLIC KEY-----\n")
    execute_process(COMMAND "${QF_OPENSSL}" pkey -pubin -in "${pem}" -pubcheck -noout
                    RESULT_VARIABLE not_valid OUTPUT_QUIET ERROR_VARIABLE why)
    if(not_valid)
      message(FATAL_ERROR "QUILLFEED_PACKAGE_PUBLIC_KEY has the form of a P-256 public key but openssl "
                          "does not take it as one (is the point on the curve?):\n${why}")
    endif()
  endif()
  string(SUBSTRING "${key}" 36 -1 point)
  qf_base64_to_c_bytes("${point}" xy)
  set(${prefix}_SET 1 PARENT_SCOPE)
  set(${prefix}_XY "${xy}" PARENT_SCOPE)
endfunction()

# Sets the variable out_var to the release number of a build, QUILLFEED_RELEASE_NUMBER
# (empty: 0); stops the configuration with a clear message when it is not a
# decimal number that fits the DWORD the program keeps it in.
function(qf_release_number text out_var)
  if(text STREQUAL "")
    set(text 0)
  endif()
  string(LENGTH "${text}" length)
  if(NOT text MATCHES "^(0|[1-9][0-9]*)$" OR length GREATER 10 OR
     (length EQUAL 10 AND text STRGREATER "4294967295"))
    message(FATAL_ERROR "QUILLFEED_RELEASE_NUMBER must be a whole number from 0 to 4294967295, written without "
                        "a sign or leading zeros. Got: ${text}")
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()
