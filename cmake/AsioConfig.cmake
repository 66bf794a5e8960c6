# Asio derives part of its configuration from macros that the standard library defines
# (ASIO_HAS_STD_ALIGNED_ALLOC needs _GLIBCXX_HAVE_ALIGNED_ALLOC), so a translation unit that
# includes <Python.h> or any standard header before Asio gets a different Asio than one that
# includes Asio first: a coroutine frame allocated with aligned_alloc in one is freed with
# operator delete in another. Preprocessing Asio both ways once tells which feature macros
# depend on include order; defining them for every translation unit makes one configuration.

# kx_asio_macros(OUT SOURCE): the ASIO_HAS_* macros (a list of NAME=VALUE) that SOURCE defines.
function(kx_asio_macros out source)
  separate_arguments(flags UNIX_COMMAND "${CMAKE_CXX_FLAGS}")
  execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} ${flags} -std=c++${CMAKE_CXX_STANDARD} -I${ASIO_INCLUDE_DIR}
            -x c++ -dM -E -
    INPUT_FILE ${source} OUTPUT_VARIABLE defines ERROR_VARIABLE error RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "Cannot preprocess Asio to read its configuration: ${error}")
  endif()
  string(REGEX MATCHALL "#define ASIO_HAS_[A-Z0-9_]+[^\n]*" lines "${defines}")
  set(macros "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^#define ([A-Z0-9_]+) ?(.*)$" "\\1=\\2" macro "${line}")
    list(APPEND macros "${macro}")
  endforeach()
  set(${out} "${macros}" PARENT_SCOPE)
endfunction()

# kx_asio_pinned_definitions(OUT): the ASIO_HAS_* macros (NAME=VALUE) that depend on include
# order, with the values they take when the standard library is already in view.
function(kx_asio_pinned_definitions out)
  set(dir ${CMAKE_BINARY_DIR}/asio_config_probe)
  file(WRITE ${dir}/asio_first.cpp "#include <asio.hpp>\n")
  file(WRITE ${dir}/std_first.cpp "#include <cstddef>\n#include <cstdlib>\n#include <unistd.h>\n#include <asio.hpp>\n")
  kx_asio_macros(asio_first ${dir}/asio_first.cpp)
  kx_asio_macros(std_first ${dir}/std_first.cpp)
  set(pinned "")
  foreach(macro IN LISTS std_first)
    if(NOT macro IN_LIST asio_first)
      list(APPEND pinned "${macro}")
    endif()
  endforeach()
  foreach(macro IN LISTS asio_first)
    string(REGEX REPLACE "=.*" "" name "${macro}")
    if(NOT macro IN_LIST std_first AND NOT "${std_first}" MATCHES "(^|;)${name}=")
      message(FATAL_ERROR "Asio defines ${name} only when no standard header comes first: cannot pin it")
    endif()
  endforeach()
  message(STATUS "Asio configuration pinned for every translation unit: ${pinned}")
  set(${out} "${pinned}" PARENT_SCOPE)
endfunction()
