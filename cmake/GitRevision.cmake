# Run at build time (cmake -P) by the build_revision target: writes OUTPUT,
# a C++ source that defines build_revision(), naming the short revision of
# SOURCE_DIR's checkout, or "unknown" outside a checkout (a source tarball),
# and build_revision_full(), the whole 40-digit one, or 40 zeros outside a
# checkout. The file is rewritten only when the text changes, so a build at
# the same revision recompiles nothing.
set(revision "unknown")
set(full_revision "0000000000000000000000000000000000000000")
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
        # HEAD is read once and the short form taken from that commit, so a
        # commit made meanwhile can't give two revisions that disagree.
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse HEAD
            WORKING_DIRECTORY ${SOURCE_DIR}
            OUTPUT_VARIABLE full OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE full_status ERROR_QUIET)
        if(full_status EQUAL 0 AND full MATCHES "^[0-9a-f]+$")
            execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short ${full}
                WORKING_DIRECTORY ${SOURCE_DIR}
                OUTPUT_VARIABLE hash OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE hash_status ERROR_QUIET)
            if(hash_status EQUAL 0 AND hash MATCHES "^[0-9a-f]+$")
                set(revision "${hash}")
            endif()
            # The daemon's Server line carries 40 digits: a longer hash (a
            # SHA-256 repository) leaves it the zeros.
            string(LENGTH "${full}" full_length)
            if(full_length EQUAL 40)
                set(full_revision "${full}")
            endif()
        endif()
    endif()
endif()

set(text "// Generated at build time by cmake/GitRevision.cmake.\n#include \"engine/build_revision.h\"\n\nconst char *build_revision(void)\n{\n    return \"${revision}\";\n}\n\nconst char *build_revision_full(void)\n{\n    return \"${full_revision}\";\n}\n")
set(old "")
if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
    file(WRITE "${OUTPUT}" "${text}")
endif()
