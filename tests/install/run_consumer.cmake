# Installs a built Morvex into a fresh prefix, then configures, builds and runs the consumer
# project against that prefix only. Run with cmake -P; variables:
#   BUILD_DIR     the Morvex build tree to install
#   WORK_DIR      scratch folder, emptied first (holds the prefix and the consumer build)
#   SOURCE_DIR    the consumer project
#   GENERATOR, MAKE_PROGRAM, CXX_COMPILER, BUILD_TYPE, CXX_FLAGS, LINKER_FLAGS
#                 passed through so the consumer is built like Morvex itself

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}): ${ARGN}")
  endif()
endfunction()

foreach(required BUILD_DIR WORK_DIR SOURCE_DIR GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "run_consumer.cmake: ${required} is not set")
  endif()
endforeach()

set(prefix "${WORK_DIR}/prefix")
set(consumer_build "${WORK_DIR}/build")
file(REMOVE_RECURSE "${WORK_DIR}")

set(config_args)
if(BUILD_TYPE)
  set(config_args --config "${BUILD_TYPE}")
endif()
run_step("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" ${config_args})

set(configure_args
  -S "${SOURCE_DIR}" -B "${consumer_build}" -G "${GENERATOR}"
  "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
  "-DCMAKE_PREFIX_PATH=${prefix}"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}"
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
if(MAKE_PROGRAM)
  list(APPEND configure_args "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()
run_step("configure consumer" "${CMAKE_COMMAND}" ${configure_args})

# The package must come from the fresh prefix, not from the build tree or elsewhere.
file(STRINGS "${consumer_build}/CMakeCache.txt" found_dir REGEX "^morvex_DIR:")
string(REGEX REPLACE "^morvex_DIR:[A-Z]+=" "" found_dir "${found_dir}")
file(REAL_PATH "${found_dir}" found_dir)
file(REAL_PATH "${prefix}" real_prefix)
string(FIND "${found_dir}" "${real_prefix}/" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "morvex was found in ${found_dir}, not under ${real_prefix}")
endif()

run_step("build consumer" "${CMAKE_COMMAND}" --build "${consumer_build}" ${config_args})

set(executable "${consumer_build}/morvex_consumer")
if(BUILD_TYPE AND EXISTS "${consumer_build}/${BUILD_TYPE}/morvex_consumer")
  set(executable "${consumer_build}/${BUILD_TYPE}/morvex_consumer")
endif()
run_step("run consumer" "${executable}")
