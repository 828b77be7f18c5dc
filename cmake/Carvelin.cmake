# Shared build rules: warnings, sanitizers, one static library per layer folder.

set(CARVELIN_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-qual
    -Wimplicit-fallthrough -Wno-missing-field-initializers)
if(CARVELIN_WERROR)
  list(APPEND CARVELIN_WARNINGS -Werror)
endif()

# A fuzz build is a sanitizer build whose code also feeds libFuzzer its
# coverage, so one build serves the tests under the sanitizers and the fuzz
# targets.
if(CARVELIN_SANITIZE OR CARVELIN_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(CARVELIN_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "CARVELIN_FUZZ needs clang (CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# lld links the large test programs several times faster than the default linker.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld CARVELIN_HAS_LLD)
if(CARVELIN_HAS_LLD)
  add_link_options(-fuse-ld=lld)
endif()

add_compile_definitions(CARVELIN_VERSION="${PROJECT_VERSION}")
# The fourth part of the version: 0 for a release, n for release candidate n.
set(CARVELIN_BUILD 0 CACHE STRING "Build number (release candidate; 0 for a release)")
add_compile_definitions(CARVELIN_BUILD=${CARVELIN_BUILD})

# carvelin_layer(<folder> [QT] DEPS <targets...>)
# Every .cpp of the folder (sub-folders included) goes into carvelin_<folder>.
# A folder without sources yet gives an interface library, so later layers
# can already name it. A QT layer gets moc, uic and rcc and links Qt Widgets
# (other Qt modules come through DEPS), and its .qrc files are compiled in
# (a static library: the user calls Q_INIT_RESOURCE); a layer without QT refuses any Qt
# header, so that the sanitizer and fuzz builds, made without Qt, keep
# building it.
function(carvelin_layer folder)
  cmake_parse_arguments(L "QT" "" "DEPS" ${ARGN})
  set(target carvelin_${folder})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.cpp)
  # A program's main.cpp stays out of the library (see carvelin_program).
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(NOT L_QT)
    file(GLOB_RECURSE headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.h)
    foreach(file IN LISTS sources headers)
      file(STRINGS ${file} qt_includes REGEX "^[ \t]*#[ \t]*include[ \t]*<(Qt[A-Za-z]*/|Q[A-Z])")
      if(qt_includes)
        message(FATAL_ERROR "${file}: Qt header in ${folder}/, a layer built without Qt")
      endif()
    endforeach()
  endif()
  if(L_QT)
    # Qt resource files (pictures compiled in) go with the sources.
    file(GLOB_RECURSE resources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/*.qrc)
  endif()
  if(sources)
    add_library(${target} STATIC ${sources} ${resources})
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

# carvelin_program(<folder> <name>)
# The executable <name> built from <folder>/main.cpp and the folder's
# library, written to <build>/<folder>/<name>.
function(carvelin_program folder name)
  add_executable(${name} ${CMAKE_CURRENT_SOURCE_DIR}/${folder}/main.cpp)
  target_compile_options(${name} PRIVATE ${CARVELIN_WARNINGS})
  target_link_libraries(${name} PRIVATE carvelin_${folder})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${folder})
endfunction()

# carvelin_embed_file(<target> <name> <file>)
# Compiles the bytes of resources/<name>/<file> as they stand into <target>
# as Carvelin::Resources::<name>().
function(carvelin_embed_file target name file)
  set(input ${PROJECT_SOURCE_DIR}/resources/${name}/${file})
  set(cpp ${PROJECT_BINARY_DIR}/resources/${name}.cpp)
  add_custom_command(OUTPUT ${cpp}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${input} -DOUTPUT=${cpp} -DNAME=${name}
            -P ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake
    DEPENDS ${input} ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake VERBATIM)
  target_sources(${target} PRIVATE ${cpp})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/resources)
endfunction()

# carvelin_embed_zip(<target> <name>)
# Packs every file of resources/<name>/ into a ZIP archive at build time and
# compiles its bytes into <target> as Carvelin::Resources::<name>()
# (declared in resources/Carvelin.Resources.h).
function(carvelin_embed_zip target name)
  set(dir ${PROJECT_SOURCE_DIR}/resources/${name})
  file(GLOB files CONFIGURE_DEPENDS RELATIVE ${dir} ${dir}/*)
  list(SORT files)
  set(zip ${PROJECT_BINARY_DIR}/resources/${name}.zip)
  set(cpp ${PROJECT_BINARY_DIR}/resources/${name}.cpp)
  if(NOT files)  # nothing to pack yet: the archive is empty
    file(WRITE ${cpp} "#include \"Carvelin.Resources.h\"\nstd::string_view Carvelin::Resources::${name}() { return {}; }\n")
    target_sources(${target} PRIVATE ${cpp})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/resources)
    return()
  endif()
  list(TRANSFORM files PREPEND ${dir}/ OUTPUT_VARIABLE deps)
  add_custom_command(OUTPUT ${zip}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/resources
    COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip --mtime=2000-01-01 -- ${files}
    WORKING_DIRECTORY ${dir} DEPENDS ${deps} VERBATIM)
  add_custom_command(OUTPUT ${cpp}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${zip} -DOUTPUT=${cpp} -DNAME=${name}
            -P ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake
    DEPENDS ${zip} ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake VERBATIM)
  target_sources(${target} PRIVATE ${cpp})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/resources)
endfunction()
