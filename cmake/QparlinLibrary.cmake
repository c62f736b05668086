# qparlin_library(target [FOLDER folder] [SOURCES file ...] [DEPENDS target ...])
#
# One static library of the program. A library sees its own folder's headers and those of the libraries it
# depends on, and nothing else: the include path of each library is a directory of the build tree that holds
# one link, named after its folder, to that folder. A source that includes a header of a folder its library
# does not depend on therefore fails to compile, and the layers cannot be crossed by accident.
#
# FOLDER is the folder the library stands for (a widget library shares its folder's, by depending on it).
function(qparlin_library target)
    cmake_parse_arguments(ARG "" "FOLDER" "SOURCES;DEPENDS" ${ARGN})
    if(ARG_SOURCES)
        add_library(${target} STATIC ${ARG_SOURCES})
        set(scope PUBLIC)
        target_link_libraries(${target} PRIVATE qparlin_warnings)
    else()
        add_library(${target} INTERFACE)
        set(scope INTERFACE)
    endif()
    if(ARG_FOLDER)
        set(root ${CMAKE_BINARY_DIR}/include/${target})
        get_filename_component(parent ${root}/${ARG_FOLDER} DIRECTORY)
        file(MAKE_DIRECTORY ${parent})
        if(NOT IS_SYMLINK ${root}/${ARG_FOLDER})
            file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${ARG_FOLDER} ${root}/${ARG_FOLDER} SYMBOLIC)
        endif()
        target_include_directories(${target} ${scope} ${root})
    endif()
    target_link_libraries(${target} ${scope} ${ARG_DEPENDS})
endfunction()

# The C++ sources directly in a folder, less the given file names.
function(qparlin_folder_sources out folder)
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
    foreach(name ${ARGN})
        list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${name})
    endforeach()
    set(${out} ${sources} PARENT_SCOPE)
endfunction()
