# Shared build settings for every Kelvara target.

add_library(kx_warnings INTERFACE)
target_compile_options(kx_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow=local -Wnon-virtual-dtor -Wcast-align
  -Wunused -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
# CI builds with this on: a warning in Kelvara's own code (not in the headers
# of the libraries it uses) fails the build.
option(KELVARA_WARNINGS_AS_ERRORS "Treat warnings in Kelvara's own code as errors" OFF)
if(KELVARA_WARNINGS_AS_ERRORS)
  target_compile_options(kx_warnings INTERFACE -Werror)
endif()

# Sanitizers for every target of the build: "address,undefined" or "thread".
# Any report ends the test process with an error.
set(KELVARA_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined or thread); empty for none")
if(KELVARA_SANITIZE)
  add_compile_options(-fsanitize=${KELVARA_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KELVARA_SANITIZE})
  if(KELVARA_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
  # With AddressSanitizer's instrumentation g++ 12 guesses at uninitialised
  # values inside the standard library's own headers (std::function, std::regex).
  if(KELVARA_SANITIZE MATCHES "address")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
endif()

# kx_core_library(NAME SOURCES ... [DEPS ...])
# One static library per core area. Core code never links Qt.
function(kx_core_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE kx_warnings)
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

# kx_gui_library(NAME SOURCES ... [DEPS ...])
# One static library per application room (Qt Widgets allowed).
function(kx_gui_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE kx_warnings)
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
endfunction()

# kx_area(NAME DIR [GUI] [DEPS ...])
# Builds every .cpp in DIR (not recursing) into one library. An area that has no
# sources yet becomes an interface library, so areas can be filled in one at a time.
function(kx_area name dir)
  cmake_parse_arguments(ARG "GUI" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  file(GLOB hdrs CONFIGURE_DEPENDS ${dir}/*.h)
  if(srcs)
    if(ARG_GUI)
      kx_gui_library(${name} SOURCES ${srcs} ${hdrs} DEPS ${ARG_DEPS})
    else()
      kx_core_library(${name} SOURCES ${srcs} ${hdrs} DEPS ${ARG_DEPS})
    endif()
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# kx_test(NAME DIR [GUI] [DEPS ...])
# One GoogleTest executable per tested area, from every .cpp in DIR. Each test
# process runs with its own temporary HOME and XDG folders (see tests/support).
function(kx_test name dir)
  cmake_parse_arguments(ARG "GUI" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  if(ARG_GUI)
    target_link_libraries(${name} PRIVATE kx_test_support_gui ${ARG_DEPS} kx_warnings)
  else()
    target_link_libraries(${name} PRIVATE kx_test_support ${ARG_DEPS} kx_warnings)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set(env "QT_QPA_PLATFORM=offscreen;KX_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data")
  # A thread-checker build ignores what the uninstrumented libraries do themselves.
  if(CMAKE_CXX_FLAGS MATCHES "-fsanitize=thread" OR KELVARA_SANITIZE MATCHES "thread")
    # Some tests fork a helper while the pool has threads; the child only execs.
    list(APPEND env "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp halt_on_error=1 die_after_fork=0")
  endif()
  if(KELVARA_SANITIZE MATCHES "address")
    list(APPEND env "ASAN_OPTIONS=detect_stack_use_after_return=1" "UBSAN_OPTIONS=print_stacktrace=1"
      "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp")
  endif()
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}" TIMEOUT 600)
endfunction()
