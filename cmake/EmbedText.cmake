# cmake -DINPUT=FILE -DOUTPUT=FILE.cpp -DFUNCTION=Name -P EmbedText.cmake
# Writes a C++ source whose function brivasto::Name() returns the bytes of
# FILE as a std::string_view, so that the program carries the text itself.
file(READ "${INPUT}" bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," chars "${bytes}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n    " chars "${chars}")
file(WRITE "${OUTPUT}.new"
  "// Generated from ${INPUT} at build time; edit that file instead.\n"
  "#include <string_view>\n\n"
  "namespace brivasto {\nnamespace {\nconstexpr char kText[] = {\n    ${chars}'\\0'};\n}  // namespace\n\n"
  "std::string_view ${FUNCTION}() { return {kText, sizeof kText - 1}; }\n\n"
  "}  // namespace brivasto\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
