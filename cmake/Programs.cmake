# Compile and link settings of the shipped programs: no language runtime,
# no exceptions, own entry point, OS import libraries and libgcc only.

set(ORV_PRODUCT_COMPILE_OPTIONS
  -Wall -Wextra
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector
  # keeps the compiler from turning our own copy loops into memset/memcpy calls
  -fno-tree-loop-distribute-patterns)

set(ORV_SYSTEM_LIBRARIES kernel32 user32 gdi32 shell32 advapi32 winhttp bcrypt)

# orv_program(<target> <file name without .exe> <entry symbol> <profile object library>)
function(orv_program target file_name entry profile)
  target_compile_options(${target} PRIVATE ${ORV_PRODUCT_COMPILE_OPTIONS})
  target_link_options(${target} PRIVATE
    -nostdlib -static -Wl,--subsystem,windows -Wl,-e,${entry} -Wl,--gc-sections -s)
  target_link_libraries(${target} PRIVATE
    ${profile} orvelant_common orvelant_freestanding ${ORV_SYSTEM_LIBRARIES} gcc)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME "${file_name}"
    RUNTIME_OUTPUT_DIRECTORY "${ORV_BIN_DIR}")
endfunction()

# Turns a Linux path into the path Wine's Z: drive shows for it.
function(orv_wine_path out path)
  string(REPLACE "/" "\\\\" wine "${path}")
  set(${out} "Z:${wine}" PARENT_SCOPE)
endfunction()

# Authenticode signing of the shipped programs. A publisher gives a PKCS#12
# bundle (with a file holding its password) or a PEM certificate and key;
# without either, a development code-signing certificate is made once in
# build/keys/codesign.
set(ORV_CODESIGN_PKCS12 "" CACHE FILEPATH "Publisher's code-signing PKCS#12 bundle")
set(ORV_CODESIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the PKCS#12 bundle's password")
set(ORV_CODESIGN_CERT "" CACHE FILEPATH "Publisher's code-signing certificate (PEM)")
set(ORV_CODESIGN_KEY "" CACHE FILEPATH "Key of ORV_CODESIGN_CERT (PEM)")
if(ORV_CODESIGN_PKCS12)
  set(ORV_CODESIGN_ARGS pkcs12 "${ORV_CODESIGN_PKCS12}" "${ORV_CODESIGN_PASSWORD_FILE}")
elseif(ORV_CODESIGN_CERT AND ORV_CODESIGN_KEY)
  set(ORV_CODESIGN_ARGS pem "${ORV_CODESIGN_CERT}" "${ORV_CODESIGN_KEY}")
else()
  set(ORV_CODESIGN_DIR "${CMAKE_BINARY_DIR}/keys/codesign")
  if(NOT EXISTS "${ORV_CODESIGN_DIR}/cert.pem")
    file(MAKE_DIRECTORY "${ORV_CODESIGN_DIR}")
    execute_process(
      COMMAND openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650
              -subj "/O=ORVELANT/CN=ORVELANT Development Code Signing"
              -addext "keyUsage=critical,digitalSignature"
              -addext "extendedKeyUsage=codeSigning"
              -addext "basicConstraints=critical,CA:FALSE"
              -keyout "${ORV_CODESIGN_DIR}/key.pem" -out "${ORV_CODESIGN_DIR}/cert.pem"
      RESULT_VARIABLE codesign_rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT codesign_rc EQUAL 0)
      message(FATAL_ERROR "could not make the development code-signing certificate")
    endif()
    file(CHMOD "${ORV_CODESIGN_DIR}/key.pem" PERMISSIONS OWNER_READ OWNER_WRITE)
  endif()
  set(ORV_CODESIGN_ARGS pem "${ORV_CODESIGN_DIR}/cert.pem" "${ORV_CODESIGN_DIR}/key.pem")
  set(ORV_CODESIGN_VERIFY_CA "${ORV_CODESIGN_DIR}/cert.pem")
endif()
# The certificate the tests verify the signatures against (a publisher's
# chain is checked against the machine's trust store by Windows itself).
set(ORV_CODESIGN_VERIFY_CA "${ORV_CODESIGN_VERIFY_CA}" CACHE FILEPATH
  "Certificate the tests verify the programs' signatures against")

# Signs the program right after every link, so that the Setup embeds signed
# programs and is signed itself.
function(orv_sign_program target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_SOURCE_DIR}/scripts/sign-program.sh" "$<TARGET_FILE:${target}>" ${ORV_CODESIGN_ARGS}
    VERBATIM)
endfunction()
