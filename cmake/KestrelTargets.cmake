# Compiler settings shared by every target of the project, and the helpers that apply them.

add_library(kestrel_warnings INTERFACE)
target_compile_options(kestrel_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow)
if(KESTREL_WERROR)
  target_compile_options(kestrel_warnings INTERFACE -Werror)
endif()

if(KESTREL_SANITIZE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "KESTREL_SANITIZE needs GCC (clang 14 cannot build Asio coroutines with ASan)")
  endif()
  set(KESTREL_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined
                             -fno-omit-frame-pointer)
  add_compile_options(${KESTREL_SANITIZER_FLAGS})
  add_link_options(${KESTREL_SANITIZER_FLAGS})
endif()

# ThreadSanitizer, for the tests where the relay thread and the agent worker pool meet.
option(KESTREL_TSAN "Build with ThreadSanitizer" OFF)
if(KESTREL_TSAN)
  if(KESTREL_SANITIZE)
    message(FATAL_ERROR "KESTREL_TSAN and KESTREL_SANITIZE cannot be combined")
  endif()
  # Asio uses std::atomic_thread_fence, which TSan does not model; GCC warns about each use.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
endif()

# kestrel_check_headers(TARGET HEADERS...): compiles each header alone in its own translation
# unit, so that every public header includes what it uses.
function(kestrel_check_headers target)
  set(sources)
  foreach(header IN LISTS ARGN)
    string(MAKE_C_IDENTIFIER "${header}" stem)
    set(source "${CMAKE_CURRENT_BINARY_DIR}/header_check/${stem}.cpp")
    file(CONFIGURE OUTPUT "${source}" CONTENT "#include \"${header}\"\n")
    list(APPEND sources "${source}")
  endforeach()
  add_library(${target}_header_check OBJECT ${sources})
  target_link_libraries(${target}_header_check PRIVATE ${target})
endfunction()

# kestrel_add_test(NAME SOURCES... LIBRARIES...): one GoogleTest binary whose cases CTest
# discovers when the tests run (not at build time, so a sanitizer build stays quick).
function(kestrel_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;LABELS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} kestrel_warnings GTest::gtest GTest::gmock
                                        GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    KESTREL_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                       PROPERTIES LABELS "${ARG_LABELS}" ENVIRONMENT "${ARG_ENVIRONMENT}")
endfunction()
