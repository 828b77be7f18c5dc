// Data compiled into the program: each function answers the bytes of one
// archive packed at build time from the folder of the same name under
// resources/. The bytes live as long as the program.
#pragma once

#include <string_view>

namespace Carvelin::Resources {

std::string_view VALEURS();  // the national value sets (ZIP of SVS files)
std::string_view VACCINS();  // the vaccination form's vaccine catalogue (JSON), as it stands
std::string_view SITE();     // the REST server's test page (ZIP of index.html, Carvelin.css, Carvelin.js)

}  // namespace Carvelin::Resources
