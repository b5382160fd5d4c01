# The answer key: the public ECDSA P-256 key whose signature every answer
# of the update service must carry, read from a PEM file at configure time.

# The DER prefix of a P-256 public key with an uncompressed point: the
# algorithm (id-ecPublicKey), the curve (prime256v1), the bit string and the
# 0x04 point marker. X and Y follow, 32 bytes each.
set(WINM_P256_SPKI_PREFIX "3059301306072a8648ce3d020106082a8648ce3d03010703420004")

# winm_read_answer_key(PEM ID OUT_VAR): sets OUT_VAR to the compile
# definitions of that key (WINM_ANSWER_KEY_ID, WINM_ANSWER_KEY_X and _Y as
# lowercase hex strings); stops configuring with a clear message when the
# file is unreadable, holds no P-256 public key, or the id is not 1-255.
function(winm_read_answer_key pem id out_var)
  if(NOT id MATCHES "^[0-9]+$" OR id LESS 1 OR id GREATER 255)
    message(FATAL_ERROR "WINM_ANSWER_KEY_ID must be a number from 1 to 255, not \"${id}\"")
  endif()
  if(NOT EXISTS "${pem}" OR IS_DIRECTORY "${pem}")
    message(FATAL_ERROR "WINM_ANSWER_KEY: cannot read ${pem}")
  endif()
  find_program(WINM_OPENSSL openssl)
  if(NOT WINM_OPENSSL)
    message(FATAL_ERROR "WINM_ANSWER_KEY: the openssl command is needed to read the key "
                        "(tools/setup.sh installs it)")
  endif()
  string(MD5 tag "${pem}")
  set(der "${CMAKE_BINARY_DIR}/CMakeFiles/answer-key-${tag}.der")
  # A compressed point is written out uncompressed, so that one layout remains.
  execute_process(
    COMMAND ${WINM_OPENSSL} pkey -pubin -in "${pem}" -outform DER -ec_conv_form uncompressed
            -out "${der}"
    RESULT_VARIABLE status
    OUTPUT_QUIET ERROR_VARIABLE errors)
  if(NOT status EQUAL 0 OR NOT EXISTS "${der}")
    # A public key of another kind has no point to convert.
    execute_process(COMMAND ${WINM_OPENSSL} pkey -pubin -in "${pem}" -noout
                    RESULT_VARIABLE plain OUTPUT_QUIET ERROR_QUIET)
    if(plain EQUAL 0)
      message(FATAL_ERROR "WINM_ANSWER_KEY: ${pem} is not an ECDSA P-256 (prime256v1) public "
                          "key; make one with: openssl ecparam -name prime256v1 -genkey")
    endif()
    message(FATAL_ERROR "WINM_ANSWER_KEY: ${pem} holds no readable PEM public key "
                        "(a private key or another format?)")
  endif()
  file(READ "${der}" hex HEX)
  file(REMOVE "${der}")
  string(LENGTH "${hex}" length)
  string(LENGTH "${WINM_P256_SPKI_PREFIX}" prefix_length)
  if(NOT length EQUAL 182)
    set(prefix "")
  else()
    string(SUBSTRING "${hex}" 0 ${prefix_length} prefix)
  endif()
  if(NOT prefix STREQUAL WINM_P256_SPKI_PREFIX)
    message(FATAL_ERROR "WINM_ANSWER_KEY: ${pem} is not an ECDSA P-256 (prime256v1) public key; "
                        "make one with: openssl ecparam -name prime256v1 -genkey")
  endif()
  string(SUBSTRING "${hex}" ${prefix_length} 64 x)
  math(EXPR y_at "${prefix_length} + 64")
  string(SUBSTRING "${hex}" ${y_at} 64 y)
  set(${out_var} "WINM_ANSWER_KEY_ID=${id}" "WINM_ANSWER_KEY_X=\"${x}\""
                 "WINM_ANSWER_KEY_Y=\"${y}\"" PARENT_SCOPE)
endfunction()

set(WINM_ANSWER_KEY "" CACHE FILEPATH
    "PEM file with the ECDSA P-256 public key that signs the service's answers (empty: none)")
set(WINM_ANSWER_KEY_ID "" CACHE STRING "The answer key's id, 1-255")
set(WINM_ANSWER_KEY_DEFINITIONS "")
if(WINM_ANSWER_KEY OR NOT WINM_ANSWER_KEY_ID STREQUAL "")
  if(NOT WINM_ANSWER_KEY OR WINM_ANSWER_KEY_ID STREQUAL "")
    message(FATAL_ERROR "WINM_ANSWER_KEY and WINM_ANSWER_KEY_ID are set together or not at all")
  endif()
  winm_read_answer_key("${WINM_ANSWER_KEY}" "${WINM_ANSWER_KEY_ID}" WINM_ANSWER_KEY_DEFINITIONS)
  # Everywhere, so that any part of the program can tell a key build.
  add_compile_definitions(${WINM_ANSWER_KEY_DEFINITIONS})
  message(STATUS "Answer key id ${WINM_ANSWER_KEY_ID} from ${WINM_ANSWER_KEY}")
endif()
