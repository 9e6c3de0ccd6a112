# tivako_static_library(<name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# A subsystem library: includes are relative to the project root
# ("bridge/BridgeLibrary.h"), warnings on.
function(tivako_static_library name)
  cmake_parse_arguments(A "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${TIVAKO_ROOT})
  target_link_libraries(${name} PUBLIC ${A_PUBLIC_LIBS} PRIVATE tivako_warnings ${A_PRIVATE_LIBS})
endfunction()

# tivako_add_qtest(<name> SOURCES ... [LIBS ...] [TIMEOUT s] [LABELS ...] [ENVIRONMENT ...] [LAUNCHER ...])
# A QtTest suite run by CTest, offscreen, with its own home and XDG folders
# so that no test ever touches the real ones. LAUNCHER is a command that
# runs the suite (umockdev-wrapper for the emulated USB suites).
function(tivako_add_qtest name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENVIRONMENT;LAUNCHER" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE Qt5::Test ${A_LIBS} tivako_warnings)
  target_compile_definitions(${name} PRIVATE
    TIVAKO_SOURCE_DIR="${TIVAKO_ROOT}" TIVAKO_BINARY_DIR="${TIVAKO_BINARY_ROOT}")
  add_test(NAME ${name} COMMAND ${A_LAUNCHER} $<TARGET_FILE:${name}>)
  set(home ${CMAKE_CURRENT_BINARY_DIR}/home-${name})
  file(MAKE_DIRECTORY ${home})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 120)
  endif()
  # A main window joins the shared block named by TIVAKO_SHM_KEY: each suite
  # of each build folder gets its own, never the real loader's.
  string(MD5 build_tag "${TIVAKO_BINARY_ROOT}")
  string(SUBSTRING "${build_tag}" 0 8 build_tag)
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${A_TIMEOUT}
    LABELS "${A_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;HOME=${home};XDG_DATA_HOME=${home}/.local/share;XDG_CONFIG_HOME=${home}/.config;XDG_CACHE_HOME=${home}/.cache;XDG_RUNTIME_DIR=${home}/run;TIVAKO_TEST_TMP=${home};TIVAKO_SHM_KEY=tivako-test-${name}-${build_tag};${A_ENVIRONMENT}")
endfunction()

# Adds a folder only once it holds a CMakeLists.txt, so the tree builds while
# subsystems are still being added.
macro(tivako_optional_subdirectory dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endmacro()

# Adds every sub-folder of the current folder that holds a CMakeLists.txt, in
# name order (tests, tools, benchmarks and fuzzers keep one folder each),
# but for those added already.
function(tivako_add_subfolders)
  file(GLOB sub_dirs LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT sub_dirs)
  get_property(added DIRECTORY PROPERTY SUBDIRECTORIES)
  foreach(dir ${sub_dirs})
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt AND NOT dir IN_LIST added)
      get_filename_component(sub ${dir} NAME)
      add_subdirectory(${sub})
    endif()
  endforeach()
endfunction()
