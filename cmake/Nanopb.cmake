# Protobuf encoding with nanopb: Debian's generator turns .proto files into
# C sources in the build tree, which are compiled into a target together
# with nanopb's runtime (libprotobuf-nanopb.a from libnanopb-dev).
#
#   brindlecot_nanopb_sources(TARGET PROTOS a.proto [b.proto ...])
#
# Each a.proto gives a.pb.c and a.pb.h in a directory of TARGET's build
# tree that is added to TARGET's include path, so code includes "a.pb.h".

include_guard(GLOBAL)

find_package(nanopb CONFIG REQUIRED)
# Debian's own interpreter and script, never a generator found first on PATH.
set(BRINDLECOT_NANOPB_GENERATOR /usr/bin/nanopb_generator.py)
find_program(BRINDLECOT_DEBIAN_PYTHON /usr/bin/python3 REQUIRED)
if(NOT EXISTS ${BRINDLECOT_NANOPB_GENERATOR})
    message(FATAL_ERROR "nanopb's generator is missing: install Debian's nanopb package")
endif()

function(brindlecot_nanopb_sources target)
    cmake_parse_arguments(NP "" "" "PROTOS" ${ARGN})
    set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_nanopb)
    file(MAKE_DIRECTORY ${out_dir})
    set(generated)
    foreach(proto ${NP_PROTOS})
        get_filename_component(proto_abs ${proto} ABSOLUTE)
        get_filename_component(proto_dir ${proto_abs} DIRECTORY)
        get_filename_component(stem ${proto_abs} NAME_WE)
        set(options ${proto_dir}/${stem}.options)
        set(depends ${proto_abs})
        if(EXISTS ${options})
            list(APPEND depends ${options})
        endif()
        add_custom_command(
            OUTPUT ${out_dir}/${stem}.pb.c ${out_dir}/${stem}.pb.h
            COMMAND ${BRINDLECOT_DEBIAN_PYTHON} ${BRINDLECOT_NANOPB_GENERATOR}
                    --proto-path=${proto_dir} --options-path=${proto_dir}
                    --output-dir=${out_dir} ${proto_abs}
            DEPENDS ${depends}
            COMMENT "nanopb: ${stem}.proto"
            VERBATIM)
        list(APPEND generated ${out_dir}/${stem}.pb.c)
    endforeach()
    target_sources(${target} PRIVATE ${generated})
    target_include_directories(${target} PRIVATE ${out_dir})
    target_link_libraries(${target} PRIVATE nanopb::protobuf-nanopb-static)
endfunction()
