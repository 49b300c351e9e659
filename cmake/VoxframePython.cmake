# The Python that voxframe is built for, and how its tests run it.
#
# Host build: VOXFRAME_PYTHON, an interpreter of 3.8 or newer: by default pyenv's 3.8, a
# python3.8 on PATH or the one scripts/setup.sh built into the cache, else python3.
# Cross-build: VOXFRAME_TARGET_PYTHON_VERSION (3.8, the device's) and VOXFRAME_TARGET_PYTHON_ROOT,
# the install prefix of an interpreter built for the device (its bin/, include/, lib/), such as
# scripts/device_python.sh makes; without a root the headers come from the sysroot and
# the tests are not registered.
#
# Sets VOXFRAME_PYTHON_VERSION (X.Y of the headers), VOXFRAME_PYTHON_INCLUDE_DIRS,
# VOXFRAME_EXT_SUFFIX, VOXFRAME_INSTALL_DIR (below the install prefix), and for the tests
# VOXFRAME_TEST_COMMAND (a list; empty when nothing can run them), VOXFRAME_TEST_ENV and
# VOXFRAME_TEST_LABELS.

if(CMAKE_CROSSCOMPILING)
  set(VOXFRAME_TARGET_PYTHON_VERSION "3.8" CACHE STRING "Python version of the device")
  set(VOXFRAME_TARGET_PYTHON_ROOT "" CACHE PATH "Install prefix of a Python built for the device")
  set(VOXFRAME_PYTHON_VERSION ${VOXFRAME_TARGET_PYTHON_VERSION})
  # The interpreter root's headers, else the first sysroot's (an SDK's, or Yocto's staging area).
  set(_prefixes ${VOXFRAME_TARGET_PYTHON_ROOT})
  foreach(_root ${CMAKE_SYSROOT} ${CMAKE_FIND_ROOT_PATH})
    list(APPEND _prefixes ${_root}/usr)
  endforeach()
  set(VOXFRAME_PYTHON_INCLUDE_DIRS "")
  foreach(_prefix ${_prefixes})
    set(_candidate ${_prefix}/include/python${VOXFRAME_PYTHON_VERSION})
    if(NOT VOXFRAME_PYTHON_INCLUDE_DIRS AND EXISTS ${_candidate}/Python.h)
      set(VOXFRAME_PYTHON_INCLUDE_DIRS ${_candidate})
    endif()
  endforeach()
  if(NOT VOXFRAME_PYTHON_INCLUDE_DIRS)
    message(FATAL_ERROR "voxframe: no Python ${VOXFRAME_PYTHON_VERSION} headers for the device; "
      "set VOXFRAME_TARGET_PYTHON_ROOT or DEVICE_SYSROOT (see README, The device build)")
  endif()
  string(REPLACE "." "" _nodot ${VOXFRAME_PYTHON_VERSION})
  set(VOXFRAME_EXT_SUFFIX ".cpython-${_nodot}-arm-linux-gnueabihf.so")
  set(VOXFRAME_TEST_COMMAND "")
  set(_interpreter ${VOXFRAME_TARGET_PYTHON_ROOT}/bin/python${VOXFRAME_PYTHON_VERSION})
  if(VOXFRAME_TARGET_PYTHON_ROOT AND EXISTS ${_interpreter} AND QEMU_ARM)
    # No -L prefix: it would pair the cross toolchain's loader with the multiarch libc that the
    # loader then finds, and that mixed pair crashes in the child of every fork().
    set(VOXFRAME_TEST_COMMAND ${QEMU_ARM} ${_interpreter})
  elseif(BUILD_TESTING)
    message(WARNING "voxframe: no device interpreter to run under qemu-arm; tests not registered")
  endif()
  set(_others ${_interpreter})
else()
  if(NOT VOXFRAME_PYTHON)
    execute_process(COMMAND pyenv prefix 3.8 OUTPUT_VARIABLE _prefix
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _rc)
    # Else a python3.8 on PATH, else the one scripts/setup.sh builds into the user's cache.
    if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
      set(_cached "$ENV{XDG_CACHE_HOME}/lumatra/host-python-3.8/bin")
    else()
      set(_cached "$ENV{HOME}/.cache/lumatra/host-python-3.8/bin")
    endif()
    if(_rc EQUAL 0 AND EXISTS "${_prefix}/bin/python3.8")
      set(_default_python "${_prefix}/bin/python3.8")
    else()
      find_program(_default_python NAMES python3.8)
      if(NOT _default_python)
        find_program(_default_python NAMES python3.8 PATHS "${_cached}" NO_DEFAULT_PATH)
      endif()
      if(NOT _default_python)
        find_program(_default_python NAMES python3)
      endif()
    endif()
  endif()
  set(VOXFRAME_PYTHON "${_default_python}" CACHE FILEPATH "Python interpreter (3.8 or newer) to build voxframe for")
  execute_process(COMMAND ${VOXFRAME_PYTHON} -c
    "import sys,sysconfig;print(sysconfig.get_paths()['include']);print(sysconfig.get_config_var('EXT_SUFFIX'));print('%d.%d' % sys.version_info[:2]);print(int(sys.version_info >= (3, 8)))"
    OUTPUT_VARIABLE _info OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "voxframe: cannot run VOXFRAME_PYTHON '${VOXFRAME_PYTHON}'")
  endif()
  string(REPLACE "\n" ";" _info "${_info}")
  list(GET _info 0 VOXFRAME_PYTHON_INCLUDE_DIRS)
  list(GET _info 1 VOXFRAME_EXT_SUFFIX)
  list(GET _info 2 VOXFRAME_PYTHON_VERSION)
  list(GET _info 3 _new_enough)
  if(NOT _new_enough)
    message(FATAL_ERROR "voxframe: ${VOXFRAME_PYTHON} is older than 3.8")
  endif()
  set(VOXFRAME_TEST_COMMAND ${VOXFRAME_PYTHON})
  # The same build loaded by other interpreters, for the version warning.
  set(_others "")
  foreach(_v 3.8 3.9 3.10)
    execute_process(COMMAND pyenv prefix ${_v} OUTPUT_VARIABLE _prefix
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _rc)
    if(_rc EQUAL 0 AND EXISTS "${_prefix}/bin/python${_v}")
      list(APPEND _others "${_prefix}/bin/python${_v}")
    endif()
  endforeach()
endif()
message(STATUS "voxframe: Python ${VOXFRAME_PYTHON_VERSION}, headers ${VOXFRAME_PYTHON_INCLUDE_DIRS}")
# The versions whose interpreters the module is tested on; later ones changed what it relies on.
if(VOXFRAME_PYTHON_VERSION VERSION_LESS 3.8 OR VOXFRAME_PYTHON_VERSION VERSION_GREATER 3.11)
  message(FATAL_ERROR "voxframe: Python ${VOXFRAME_PYTHON_VERSION} is not supported; voxframe "
    "builds for Python 3.8 to 3.11 (the device runs 3.8): set VOXFRAME_PYTHON (or, cross-building, "
    "VOXFRAME_TARGET_PYTHON_VERSION) to one of those, or build with -DBUILD_VOXFRAME=OFF")
endif()

# Where a Python of that version looks for modules on the device: <prefix>/lib/python3.8/site-packages.
set(VOXFRAME_INSTALL_DIR "lib/python${VOXFRAME_PYTHON_VERSION}/site-packages" CACHE STRING
  "voxframe's install folder, relative to the install prefix")

# An emulated interpreter starts its subprocesses through the emulator too.
set(_emulator "")
if(CMAKE_CROSSCOMPILING)
  set(_emulator ${QEMU_ARM})
endif()
string(REPLACE ";" "|" _others "${_others}")
set(VOXFRAME_TEST_ENV "VOXFRAME_EMULATOR=${_emulator}" "VOXFRAME_OTHER_PYTHONS=${_others}"
  "VOXFRAME_BUILD_VERSION=${VOXFRAME_PYTHON_VERSION}")

# An AddressSanitizer build runs in the uninstrumented interpreter with the sanitizer runtimes
# preloaded; other sanitizer builds cannot load the module, and their runs skip these tests.
set(VOXFRAME_TEST_LABELS voxframe nosan)
if(SANITIZE MATCHES "address" AND NOT CMAKE_CROSSCOMPILING AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(_preload "")
  foreach(_runtime libasan.so libubsan.so)
    if(_runtime STREQUAL "libubsan.so" AND NOT SANITIZE MATCHES "undefined")
      continue()
    endif()
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_runtime}
      OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${_path}")
      list(APPEND _preload "${_path}")
    endif()
  endforeach()
  if(_preload)
    string(REPLACE ";" " " _preload "${_preload}")
    set(VOXFRAME_TEST_LABELS voxframe)
    # The interpreter keeps its objects until exit by design, so leak reports would be noise.
    list(APPEND VOXFRAME_TEST_ENV "LD_PRELOAD=${_preload}"
      "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1" "VOXFRAME_SANITIZED=1")
  endif()
endif()
