# Warnings, floating-point exactness and sanitizers for every target of the project.
add_library(kz_options INTERFACE)
if(MSVC)
  target_compile_options(kz_options INTERFACE /W4 /WX)
else()
  # Geometry is floating point: a fused multiply-add moves resampling taps.
  target_compile_options(kz_options INTERFACE -Wall -Wextra -Werror -ffp-contract=off -fno-fast-math)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86)$" OR CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_compile_options(kz_options INTERFACE -msse2 -mfpmath=sse)
  endif()
endif()

# 32-bit hosts: directory reads and file sizes fail with EOVERFLOW on big inode numbers or
# files over 2 GiB unless every target, not only the platform layer, uses 64-bit offsets.
if(NOT WIN32)
  target_compile_definitions(kz_options INTERFACE _FILE_OFFSET_BITS=64)
endif()

# Fuzz builds trace coverage in the library and the platform layer too, not only in the
# targets themselves; the targets link libFuzzer.
if(KZ_BUILD_FUZZ)
  target_compile_options(kz_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

if(KZ_SANITIZE STREQUAL "address")
  target_compile_options(kz_options INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(kz_options INTERFACE -fsanitize=address,undefined)
elseif(KZ_SANITIZE STREQUAL "thread")
  target_compile_options(kz_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(kz_options INTERFACE -fsanitize=thread)
endif()

# One test executable per subsystem folder: kz_add_test(NAME SOURCES... LIBS ...)
function(kz_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main kz_options)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  kz_register_test(${name} "${T_LABELS}")
endfunction()

# Windows test programs are run by scripts/wine-tests, one process per suite: listing their
# cases at build time would start wine for every program. Static runtimes let them run
# without the cross compiler's own DLLs on the path.
function(kz_register_test name labels)
  if(WIN32)
    target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${labels}")
  endif()
endfunction()
