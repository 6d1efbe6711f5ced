# Writes a C++ source holding one carried file as a byte array.
#   cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DID=<identifier> -P embed_file.cmake
# The source defines qm_res_<ID> (the bytes, plus one NUL that is not counted)
# and qm_res_<ID>_size.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
# 16 bytes a line
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n  " bytes "${bytes}")
file(WRITE "${OUTPUT}"
  "// Generated from ${INPUT} at build time; do not edit.\n"
  "#include <cstdint>\n\n"
  "extern const uint8_t qm_res_${ID}[];\n"
  "extern const uint32_t qm_res_${ID}_size;\n"
  "alignas(16) const uint8_t qm_res_${ID}[] = {\n  ${bytes}0x00};\n"
  "const uint32_t qm_res_${ID}_size = ${size};\n")
