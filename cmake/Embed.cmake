# qparlin_embed(target NAME FILE [NAME FILE ...])
# Builds a static library `target` holding each FILE as `extern const char NAME[]` (NUL-terminated) and
# `extern const unsigned long NAME##Length` (its byte count without the NUL), regenerated when a file changes.
function(qparlin_embed target)
    set(args ${ARGN})
    set(sources)
    while(args)
        list(POP_FRONT args name file)
        set(out ${CMAKE_BINARY_DIR}/generated/${name}.cpp)
        add_custom_command(
            OUTPUT ${out}
            COMMAND ${CMAKE_COMMAND} -DNAME=${name} -DIN=${file} -DOUT=${out}
                    -P ${CMAKE_SOURCE_DIR}/cmake/EmbedFile.cmake
            DEPENDS ${file} ${CMAKE_SOURCE_DIR}/cmake/EmbedFile.cmake
            COMMENT "Embedding ${file}")
        list(APPEND sources ${out})
    endwhile()
    add_library(${target} STATIC ${sources})
endfunction()
