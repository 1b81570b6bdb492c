# Turns the file IN into a C++ source OUT that defines SYM and SYM_size.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR size "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}.tmp"
  "#include <cstdint>\n"
  "extern const unsigned char ${SYM}[];\n"
  "extern const uint32_t ${SYM}_size;\n"
  "alignas(16) const unsigned char ${SYM}[] = {\n${bytes}\n};\n"
  "const uint32_t ${SYM}_size = ${size};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
