# Run at build time (cmake -P) by the git_revision target: writes OUTPUT, a
# C++ source that defines build_revision(), naming the short revision of
# SOURCE_DIR's checkout, or "unknown" outside a checkout (a source tarball).
# The file is rewritten only when the text changes, so a build at the same
# revision recompiles nothing.
set(revision "unknown")
find_program(GIT_EXECUTABLE git)
if(GIT_EXECUTABLE)
    # A tarball unpacked inside some other checkout must not take that
    # checkout's revision: the source directory has to be the top itself.
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel
        WORKING_DIRECTORY ${SOURCE_DIR}
        OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE top_status ERROR_QUIET)
    if(top_status EQUAL 0)
        get_filename_component(top "${top}" REALPATH)
        get_filename_component(source "${SOURCE_DIR}" REALPATH)
    endif()
    if(top_status EQUAL 0 AND top STREQUAL source)
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short HEAD
            WORKING_DIRECTORY ${SOURCE_DIR}
            OUTPUT_VARIABLE hash OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE hash_status ERROR_QUIET)
        if(hash_status EQUAL 0 AND hash MATCHES "^[0-9a-f]+$")
            set(revision "${hash}")
        endif()
    endif()
endif()

set(text "// Generated at build time by cmake/GitRevision.cmake.\n#include \"engine/build_revision.h\"\n\nconst char *build_revision(void)\n{\n    return \"${revision}\";\n}\n")
set(old "")
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
    file(WRITE "${OUTPUT}" "${text}")
endif()
