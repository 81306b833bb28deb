# Turns a text file into C++ source at build time:
#   cmake -DINPUT=page.html -DOUTPUT=page_text.cpp -DHEADER=plot/page.h
#         -DNAMESPACE=tarlek::plot -DFUNCTION=PageHtml -P EmbedText.cmake
# The file's bytes become an array (no raw string's delimiter to clash with)
# and FUNCTION, declared in HEADER, returns them as a std::string_view.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
# Lines of 16 bytes keep the generated file readable.
string(REGEX REPLACE "(('[^']+',){16})" "\\1\n    " bytes "${bytes}")
get_filename_component(name ${INPUT} NAME)
file(WRITE ${OUTPUT} "// Generated from ${name} by EmbedText.cmake: edit ${name}.
#include \"${HEADER}\"

namespace ${NAMESPACE} {

namespace {
const char kText[] = {
    ${bytes}'\\0'};
}  // namespace

std::string_view ${FUNCTION}() { return {kText, ${size}}; }

}  // namespace ${NAMESPACE}
")
