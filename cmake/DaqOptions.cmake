# Build-wide flags and the helpers every subsystem uses to declare its targets.

set(DAQ_WARNINGS -Wall -Wextra)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND DAQ_WARNINGS -Wthread-safety)
endif()

if(DAQ_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(DAQ_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT DAQ_SANITIZE STREQUAL "none")
  message(FATAL_ERROR "DAQ_SANITIZE must be none, address or thread")
endif()

# Header-only helpers shared by every library: diagnostics, bounded text copies, annotated mutex.
# The outside libraries see only these, so their installed headers stand alone.
add_library(daq_common INTERFACE)
target_include_directories(daq_common INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src/common>)

# What the products and everything built on them (server, tools, Python, tests)
# see in addition: the public headers and the internal generation mapping.
add_library(daq_product INTERFACE)
target_include_directories(daq_product INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
target_link_libraries(daq_product INTERFACE daq_common daq_generation)

# daq_object_library(<target> SOURCES ... [INCLUDE dirs...] [LINK targets...])
# One subsystem compiled once (PIC); shared libraries and tests link these objects.
# Product subsystems add daq_product to LINK; outside libraries get daq_common alone.
function(daq_object_library target)
  cmake_parse_arguments(A "" "" "SOURCES;INCLUDE;LINK" ${ARGN})
  add_library(${target} OBJECT ${A_SOURCES})
  foreach(dir IN LISTS A_INCLUDE)
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${dir}>)
  endforeach()
  target_link_libraries(${target} PUBLIC daq_common ${A_LINK})
  target_compile_options(${target} PRIVATE ${DAQ_WARNINGS})
endfunction()

# daq_shared_library(<target> OUTPUT_NAME <name> OBJECTS objlibs... [LINK libs...])
# The installed library: exports only the names marked DAQ_EXPORT.
function(daq_shared_library target)
  cmake_parse_arguments(A "" "OUTPUT_NAME" "OBJECTS;LINK" ${ARGN})
  add_library(${target} SHARED)
  foreach(obj IN LISTS A_OBJECTS)
    # A direct link adds the objects; consumers only need the include paths.
    target_link_libraries(${target} PRIVATE ${obj})
    target_include_directories(${target} PUBLIC
      $<BUILD_INTERFACE:$<TARGET_PROPERTY:${obj},INTERFACE_INCLUDE_DIRECTORIES>>)
  endforeach()
  target_link_libraries(${target} PUBLIC ${A_LINK})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${A_OUTPUT_NAME}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
endfunction()

option(DAQ_WERROR "Treat warnings as errors" OFF)
if(DAQ_WERROR)
  list(APPEND DAQ_WARNINGS -Werror)
endif()

if(DAQ_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "DAQ_BUILD_FUZZ needs clang (CXX=clang++)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# daq_fuzzer(<name> SOURCES ... LIBS ...): a libFuzzer target named fuzz_<name>.
function(daq_fuzzer name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(fuzz_${name} ${A_SOURCES})
  target_link_libraries(fuzz_${name} PRIVATE ${A_LIBS})
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  target_compile_options(fuzz_${name} PRIVATE ${DAQ_WARNINGS})
endfunction()
