# Writes INPUT's bytes as a C++ byte array and a string_view over it (run by velvix_embed_text).
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR length "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE ${OUTPUT}
    "#include <string_view>\n"
    "namespace velvix {\n"
    "namespace {\n"
    "constexpr char kBytes[] = {${bytes} 0};\n"
    "}  // namespace\n"
    "extern const std::string_view ${NAME};\n"
    "const std::string_view ${NAME}(kBytes, ${length});\n"
    "}  // namespace velvix\n")
