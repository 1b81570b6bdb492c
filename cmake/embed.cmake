# vlorp_embed(TARGET SYMBOL FILE): compiles FILE into TARGET as
#   extern const unsigned char SYMBOL[];  extern const uint32_t SYMBOL_size;
function(vlorp_embed target symbol file)
  set(out "${CMAKE_CURRENT_BINARY_DIR}/embed_${symbol}.cpp")
  add_custom_command(
    OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} -DIN=${file} -DOUT=${out} -DSYM=${symbol}
            -P "${CMAKE_SOURCE_DIR}/cmake/embed_file.cmake"
    DEPENDS "${file}" "${CMAKE_SOURCE_DIR}/cmake/embed_file.cmake"
    COMMENT "Embedding ${file} as ${symbol}"
    VERBATIM)
  target_sources(${target} PRIVATE "${out}")
endfunction()
