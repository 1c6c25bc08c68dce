# Project-wide build rules: warnings, sanitizers, and the one way platform code
# is chosen: a file named *_win32.cpp builds only for Windows, *_posix.cpp only
# for Linux; everything else builds everywhere.
if(WIN32)
  set(ZNTV_PLATFORM win32)
  set(ZNTV_OTHER_PLATFORM posix)
else()
  set(ZNTV_PLATFORM posix)
  set(ZNTV_OTHER_PLATFORM win32)
endif()

# Warnings apply to the project's own targets only (not to GoogleTest).
set(ZNTV_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
if(ZNTV_WERROR)
  list(APPEND ZNTV_WARNINGS -Werror)
endif()
# A unity build (CMAKE_UNITY_BUILD, as the test command's stages build)
# includes each source into a generated one, which trips two of g++'s
# warnings on sound code: it takes every type of an anonymous namespace for
# one declared in a header (so a class holding a source file's own private
# type "uses the anonymous namespace"), and, seeing a server's allocation
# and its deleting destructor in one unit, pairs the global allocation with
# the server's destroying delete as a mismatch. The builds of single
# sources (the packages' programs) still check both.
if(CMAKE_UNITY_BUILD AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND ZNTV_WARNINGS -Wno-subobject-linkage -Wno-mismatched-new-delete)
endif()
function(zntv_target_warnings target)
  target_compile_options(${target} PRIVATE ${ZNTV_WARNINGS})
endfunction()
if(WIN32)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  # One self-contained executable: no MinGW runtime DLLs beside it under Wine.
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
# How this host runs a cross build's programs: the toolchain's emulator as
# one command line (ZNTV_EMULATOR_LINE, empty for a native build), also in
# emulator.txt for the scripts that run them.
set(ZNTV_EMULATOR_LINE "")
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " ZNTV_EMULATOR_LINE)
  file(WRITE "${PROJECT_BINARY_DIR}/emulator.txt" "${ZNTV_EMULATOR_LINE}\n")
endif()
# A 32-bit Linux program reads directories and files with 64-bit offsets
# (file systems hand out 64-bit directory cookies, which the 32-bit calls
# refuse) and keeps time in 64 bits (past 2038). Every target of such a
# build, GoogleTest included, agrees on these types.
if(NOT WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
endif()
# Fuzzing build (clang): every project target carries the fuzzer's coverage
# hooks; the targets in fuzz/ link the fuzzer itself.
option(ZNTV_FUZZ "Build the libFuzzer targets in fuzz/ (clang only)" OFF)
if(ZNTV_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
if(ZNTV_SANITIZE)
  add_compile_options(-fsanitize=${ZNTV_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${ZNTV_SANITIZE})
endif()

# A static build (Linux) links the two programs with everything they use,
# for hosts whose C library differs from the build's or is missing; the
# tests stay dynamic. Its executables are position-independent where the C
# library supports that (address space randomisation), as the dynamic ones are.
option(ZNTV_STATIC "Link zntv-upgrade and zntv-module-sim statically (Linux)" OFF)
if(ZNTV_STATIC AND (WIN32 OR ZNTV_SANITIZE))
  message(FATAL_ERROR "ZNTV_STATIC is for plain Linux builds (Windows builds are static already)")
endif()
if(ZNTV_STATIC)
  include(CheckLinkerFlag)
  check_linker_flag(CXX -static-pie ZNTV_HAVE_STATIC_PIE)
endif()
function(zntv_program_linkage target)
  if(ZNTV_STATIC AND ZNTV_HAVE_STATIC_PIE)
    target_link_options(${target} PRIVATE -static-pie)
  elseif(ZNTV_STATIC)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()

# Sources of one directory tree for this platform (recursively, *.cpp), leaving
# out the other platform's layer files and anything listed after EXCLUDE: a
# file name, or a subdirectory of dir written with a trailing "/" (a folder
# that builds as a library of its own).
function(zntv_sources out dir)
  cmake_parse_arguments(ARG "" "" "EXCLUDE" ${ARGN})
  file(GLOB_RECURSE files CONFIGURE_DEPENDS "${dir}/*.cpp")
  set(result "")
  foreach(f IN LISTS files)
    get_filename_component(name "${f}" NAME)
    if(name MATCHES "_${ZNTV_OTHER_PLATFORM}\\.cpp$")
      continue()
    endif()
    if(name IN_LIST ARG_EXCLUDE)
      continue()
    endif()
    file(RELATIVE_PATH relative "${dir}" "${f}")
    set(excluded FALSE)
    foreach(entry IN LISTS ARG_EXCLUDE)
      string(FIND "${relative}" "${entry}" at)
      if(entry MATCHES "/$" AND at EQUAL 0)
        set(excluded TRUE)
      endif()
    endforeach()
    if(NOT excluded)
      list(APPEND result "${f}")
    endif()
  endforeach()
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# A library of one subsystem directory: every source file of it for this
# platform, public include root at the top of the tree.
function(zntv_subsystem_library name dir)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;LINK" ${ARGN})
  zntv_sources(srcs "${dir}" EXCLUDE ${ARG_EXCLUDE})
  if(srcs)
    add_library(${name} STATIC ${srcs})
    zntv_target_warnings(${name})
    set(scope PUBLIC)
  else()
    add_library(${name} INTERFACE)  # nothing built here yet
    set(scope INTERFACE)
  endif()
  target_include_directories(${name} ${scope} "${PROJECT_SOURCE_DIR}")
  if(ARG_LINK)
    target_link_libraries(${name} ${scope} ${ARG_LINK})
  endif()
endfunction()
