# The python-wheel target: the Python package of python/ with this build's
# library inside it, as a wheel in <build>/python/dist. Built from a copy of the
# package in <build>/python/stage, so that the source tree never holds a library,
# by the Python that MARLUNE_PYTHON names; left empty, by the first of python3 on
# PATH and /usr/bin/python3 that has the modules the build needs, looked for
# again at every configure (a PATH changed since is seen).
set(MARLUNE_PYTHON "" CACHE FILEPATH
  "The Python that builds the wheel, with its modules build, setuptools and wheel (empty: found)")
set(marlune_wheel_modules "import build, setuptools, wheel")
set(marlune_python "")
if(MARLUNE_PYTHON)
  set(marlune_candidates ${MARLUNE_PYTHON})
else()
  unset(marlune_on_path CACHE)
  find_program(marlune_on_path NAMES python3)
  set(marlune_on_path ${marlune_on_path})
  unset(marlune_on_path CACHE)
  set(marlune_candidates ${marlune_on_path} /usr/bin/python3)
endif()
foreach(candidate IN LISTS marlune_candidates)
  execute_process(COMMAND ${candidate} -c "${marlune_wheel_modules}" RESULT_VARIABLE missing
    OUTPUT_QUIET ERROR_QUIET)
  if(missing EQUAL 0)
    set(marlune_python ${candidate})
    break()
  endif()
endforeach()
if(NOT marlune_python)
  list(REMOVE_DUPLICATES marlune_candidates)
  string(REPLACE ";" ", " tried "${marlune_candidates}")
  message(FATAL_ERROR "The python-wheel target needs a Python with the modules build, setuptools and wheel "
    "(Debian: python3-build python3-setuptools python3-wheel); ${tried} lacks them. "
    "Name one with -DMARLUNE_PYTHON=/path/to/python3.")
endif()
message(STATUS "The Python wheel is built with ${marlune_python} (MARLUNE_PYTHON chooses another)")

set(stage ${PROJECT_BINARY_DIR}/python/stage)
set(dist ${PROJECT_BINARY_DIR}/python/dist)
if(WIN32)
  set(bundled_name Marlune.dll)
else()
  set(bundled_name libmarlune.so.${PROJECT_VERSION_MAJOR})
endif()
file(GLOB marlune_python_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/marlune/*.py)

add_custom_target(python-wheel
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage} ${dist}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/marlune
  COMMAND ${CMAKE_COMMAND} -E copy ${marlune_python_sources} ${PROJECT_SOURCE_DIR}/python/marlune/py.typed
          ${stage}/marlune/
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/python/pyproject.toml ${PROJECT_SOURCE_DIR}/python/setup.py
          ${PROJECT_SOURCE_DIR}/python/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${stage}/
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:marlune> ${stage}/marlune/${bundled_name}
  # A wheel holds no bytecode: PYTHONDONTWRITEBYTECODE would only make setuptools warn.
  COMMAND ${CMAKE_COMMAND} -E env --unset=PYTHONDONTWRITEBYTECODE
          ${marlune_python} -m build --no-isolation --wheel --outdir ${dist} ${stage}
  DEPENDS marlune
  COMMENT "The Python wheel with ${bundled_name} inside, in ${dist}"
  VERBATIM)
