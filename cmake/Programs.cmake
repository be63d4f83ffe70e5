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
