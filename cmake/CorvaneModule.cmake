# cmake/CorvaneModule.cmake: corvane_add_module(<dotted.module.name>)
#
# The module's sources are <name>.cpp (bindings) and <name>_*.cpp (model) in the module's package
# directory, plus the shared helpers of src/common. A module whose bindings file does not exist
# yet is skipped, so the list in CMakeLists.txt can name every deliverable from the start.

file(GLOB CORVANE_COMMON_SOURCES CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/src/common/*.cpp")

function(corvane_add_module dotted)
    if(CORVANE_MODULES AND NOT dotted IN_LIST CORVANE_MODULES)
        return()
    endif()
    string(REPLACE "." "/" rel "${dotted}")
    get_filename_component(name "${rel}" NAME)
    get_filename_component(pkg "${rel}" DIRECTORY)
    set(dir "${PROJECT_SOURCE_DIR}/src/${pkg}")
    if(NOT EXISTS "${dir}/${name}.cpp")
        message(STATUS "corvane: ${dotted} has no ${name}.cpp yet, skipped")
        return()
    endif()
    file(GLOB model_sources CONFIGURE_DEPENDS "${dir}/${name}_*.cpp")

    # Target names must be unique while module names repeat (two "sarnel"s).
    string(REPLACE "." "_" target "${dotted}")
    nanobind_add_module(${target}
        NB_STATIC        # one copy of libnanobind per module: modules never link to each other
        "${dir}/${name}.cpp" ${model_sources} ${CORVANE_COMMON_SOURCES})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME "${name}")
    target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/src" "${dir}")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(CORVANE_STRICT)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(CORVANE_SANITIZE)
        target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()

    if(CORVANE_INPLACE)
        set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${dir}")
    endif()
    install(TARGETS ${target} LIBRARY DESTINATION "${pkg}")
endfunction()
