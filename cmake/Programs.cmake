# Compile and link settings of the shipped programs: no language runtime,
# no exceptions, own entry point, OS import libraries and libgcc only.

set(ORV_PRODUCT_COMPILE_OPTIONS
  -Wall -Wextra
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector
  # keeps the compiler from turning our own copy loops into memset/memcpy calls
  -fno-tree-loop-distribute-patterns
  # no build folder in a program (__FILE__ and the like), so any folder
  # builds the same bytes
  "-ffile-prefix-map=${CMAKE_BINARY_DIR}/=build/"
  "-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=")

# The commit the programs are built from and its time. Every program names
# the commit in its version record and carries the commit's time as its PE
# time stamp (none when the time is unknown), never the build's own time:
# the same commit builds the same bytes in any folder on any day, and a
# published Setup says which commit rebuilds it. Found, first match: the two
# options; cmake/source-commit.txt as `git archive` fills it in; the git
# checkout whose top folder is the source folder. The environment's
# SOURCE_DATE_EPOCH does not reach the programs' link.
set(ORV_SOURCE_COMMIT "" CACHE STRING "Commit the programs are built from (empty: found from the source)")
set(ORV_SOURCE_EPOCH "" CACHE STRING "Time of that commit, Unix seconds (empty: found with the commit)")
set(ORV_BUILT_COMMIT "${ORV_SOURCE_COMMIT}")
set(ORV_BUILT_EPOCH "${ORV_SOURCE_EPOCH}")
if(NOT ORV_BUILT_COMMIT)
  file(READ "${CMAKE_SOURCE_DIR}/cmake/source-commit.txt" archived)
  if(archived MATCHES "^([0-9a-f]+) ([0-9]+)")
    set(ORV_BUILT_COMMIT "${CMAKE_MATCH_1}")
    if(NOT ORV_BUILT_EPOCH)
      set(ORV_BUILT_EPOCH "${CMAKE_MATCH_2}")
    endif()
  endif()
endif()
if(NOT ORV_BUILT_COMMIT)
  find_program(ORV_GIT git)
  if(ORV_GIT)
    execute_process(COMMAND "${ORV_GIT}" -C "${CMAKE_SOURCE_DIR}" rev-parse --show-toplevel
      OUTPUT_VARIABLE git_top RESULT_VARIABLE git_rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    file(REAL_PATH "${CMAKE_SOURCE_DIR}" source_real)
    if(git_rc EQUAL 0 AND git_top STREQUAL source_real)
      execute_process(COMMAND "${ORV_GIT}" -C "${CMAKE_SOURCE_DIR}" log -1 --format=%H\ %ct
        OUTPUT_VARIABLE git_head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(git_head MATCHES "^([0-9a-f]+) ([0-9]+)$")
        set(ORV_BUILT_COMMIT "${CMAKE_MATCH_1}")
        if(NOT ORV_BUILT_EPOCH)
          set(ORV_BUILT_EPOCH "${CMAKE_MATCH_2}")
        endif()
      endif()
      # A new commit or checkout configures again, so the stamp never lags.
      execute_process(COMMAND "${ORV_GIT}" -C "${CMAKE_SOURCE_DIR}" symbolic-ref -q HEAD
        OUTPUT_VARIABLE git_ref OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      foreach(name HEAD packed-refs ${git_ref})
        execute_process(COMMAND "${ORV_GIT}" -C "${CMAKE_SOURCE_DIR}" rev-parse
                                --path-format=absolute --git-path "${name}"
          OUTPUT_VARIABLE git_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(git_file AND EXISTS "${git_file}")
          set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_file}")
        endif()
      endforeach()
    endif()
  endif()
endif()
if(NOT ORV_BUILT_COMMIT)
  set(ORV_BUILT_COMMIT "unknown")
endif()
if(NOT ORV_BUILT_EPOCH MATCHES "^[0-9]+$")
  set(ORV_BUILT_EPOCH "")
endif()
# (Kept in the cache for the check that rebuilds the programs elsewhere.)
set(ORV_BUILT_COMMIT "${ORV_BUILT_COMMIT}" CACHE INTERNAL "Commit the programs name")
set(ORV_BUILT_EPOCH "${ORV_BUILT_EPOCH}" CACHE INTERNAL "The programs' PE time stamp")
set(ORV_SOURCE_STAMP_DIR "${CMAKE_BINARY_DIR}/generated/stamp")
file(CONFIGURE OUTPUT "${ORV_SOURCE_STAMP_DIR}/source_commit.h"
  CONTENT "#define ORV_SOURCE_COMMIT \"${ORV_BUILT_COMMIT}\"\n")
message(STATUS "Programs stamped with commit ${ORV_BUILT_COMMIT}, time ${ORV_BUILT_EPOCH}")

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
  # The version record names the commit.
  target_include_directories(${target} PRIVATE "${ORV_SOURCE_STAMP_DIR}")
  # The PE time stamp: the commit's time (the linker takes SOURCE_DATE_EPOCH),
  # or none.
  if(ORV_BUILT_EPOCH)
    set_target_properties(${target} PROPERTIES
      CXX_LINKER_LAUNCHER "env;SOURCE_DATE_EPOCH=${ORV_BUILT_EPOCH}")
  else()
    target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
  endif()
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
