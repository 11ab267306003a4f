# Writes OUT, a C++ source holding each of FILES (a ;-list) as a byte array under its file name:
# the console's files built into zelhost.exe, so that serving them never opens a path.
#   cmake -DOUT=console_table.cpp -DFILES="a.html;b.js" -P embed_console.cmake
set(arrays "")
set(rows "")
set(index 0)
foreach(file IN LISTS FILES)
  get_filename_component(name "${file}" NAME)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
         "\\1\n" bytes "${bytes}")
  string(APPEND arrays "const unsigned char kFile${index}[] = {\n${bytes}0};\n")
  string(APPEND rows "    {\"${name}\", reinterpret_cast<const char*>(kFile${index}), ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUT}" "// Made at build time by cmake/embed_console.cmake from host/console; not to be edited.\n"
  "#include \"console_files.h\"\n\nnamespace zelhost {\nnamespace {\n\n${arrays}\n}  // namespace\n\n"
  "const ConsoleFiles::Entry ConsoleFiles::kBuiltIn[] = {\n${rows}};\n"
  "const size_t ConsoleFiles::kBuiltInCount = ${index};\n\n}  // namespace zelhost\n")
