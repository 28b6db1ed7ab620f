# Compiles text files into the program: each becomes a std::string_view constant in namespace
# velvix, so that nothing is read from disk at run time.
#   velvix_embed_text(TARGET target NAME constantName FILE path)
function(velvix_embed_text)
    cmake_parse_arguments(EMBED "" "TARGET;NAME;FILE" "" ${ARGN})
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/${EMBED_FILE})
    set(output ${CMAKE_CURRENT_BINARY_DIR}/embedded/${EMBED_NAME}.cpp)
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${source} -DOUTPUT=${output} -DNAME=${EMBED_NAME}
                -P ${PROJECT_SOURCE_DIR}/cmake/WriteEmbeddedText.cmake
        DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/WriteEmbeddedText.cmake
        COMMENT "Embedding ${EMBED_FILE}")
    target_sources(${EMBED_TARGET} PRIVATE ${output})
endfunction()
