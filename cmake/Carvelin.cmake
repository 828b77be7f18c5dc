# Shared build rules: warnings, sanitizers, one static library per layer folder.

set(CARVELIN_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-qual
    -Wimplicit-fallthrough -Wno-missing-field-initializers)
if(CARVELIN_WERROR)
  list(APPEND CARVELIN_WARNINGS -Werror)
endif()

if(CARVELIN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(CARVELIN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "CARVELIN_FUZZ needs clang (CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

add_compile_definitions(CARVELIN_VERSION="${PROJECT_VERSION}")

# carvelin_layer(<folder> [QT] DEPS <targets...>)
# Every .cpp of the folder (sub-folders included) goes into carvelin_<folder>.
# A folder without sources yet gives an interface library, so later layers
# can already name it.
function(carvelin_layer folder)
  cmake_parse_arguments(L "QT" "" "DEPS" ${ARGN})
  set(target carvelin_${folder})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/${folder})
    target_compile_options(${target} PRIVATE ${CARVELIN_WARNINGS})
    target_link_libraries(${target} PUBLIC ${L_DEPS})
    if(L_QT)
      set_target_properties(${target} PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
      target_link_libraries(${target} PUBLIC Qt6::Widgets)
    endif()
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/${folder})
    target_link_libraries(${target} INTERFACE ${L_DEPS})
  endif()
endfunction()
