# Builds for the Raspberry Pi target: 32-bit Arm Linux, hard-float EABI, code
# for ARMv6 with VFPv2 in ARM state, with Debian's cross compiler drivers.
# The drivers are run straight from custom commands rather than through a
# second CMake toolchain, so none of the native build's flags (warnings set
# for the host, sanitizers) reach the Arm objects.
include_guard(DIRECTORY)

# Optional for the programs (the demo set-up does not install the cross
# toolchain); whoever builds for armhf checks ARMHF_FOUND.
find_program(ARMHF_GCC arm-linux-gnueabihf-gcc)
find_program(ARMHF_GXX arm-linux-gnueabihf-g++)
if(ARMHF_GCC AND ARMHF_GXX)
    set(ARMHF_FOUND TRUE)
else()
    set(ARMHF_FOUND FALSE)
endif()

# What the emulator needs to find the target's loader and libraries.
set(ARMHF_SYSROOT /usr/arm-linux-gnueabihf)
set(ARMHF_TARGET_FLAGS -marm -march=armv6 -mfpu=vfp -mfloat-abi=hard)

# brindlecot_armhf_build(<target> OUTPUT <file> DRIVER <compiler>
#                        SOURCES <files...> [DEPENDS <files...>] [FLAGS <flags...>])
# Compiles and links SOURCES into OUTPUT in one driver run; <target> is built
# by default, like every other target of the tree.
function(brindlecot_armhf_build target)
    cmake_parse_arguments(A "" "OUTPUT;DRIVER" "SOURCES;DEPENDS;FLAGS" ${ARGN})
    get_filename_component(out_dir ${A_OUTPUT} DIRECTORY)
    add_custom_command(OUTPUT ${A_OUTPUT}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
        COMMAND ${A_DRIVER} ${ARMHF_TARGET_FLAGS} ${A_FLAGS} -o ${A_OUTPUT} ${A_SOURCES}
        DEPENDS ${A_SOURCES} ${A_DEPENDS}
        COMMENT "Building ${target} for armhf"
        VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${A_OUTPUT})
endfunction()
