# The python-wheel target: the Python package of python/ with this build's
# library inside it, as a wheel in <build>/python/dist. Built with the
# interpreter MARLUNE_PYTHON and its "build" module (Debian: python3-build),
# from a copy of the package in <build>/python/stage, so that the source tree
# never holds a library.
set(MARLUNE_PYTHON "" CACHE FILEPATH "The Python that builds the wheel (default: python3 on PATH)")
if(NOT MARLUNE_PYTHON)
  find_program(MARLUNE_PYTHON_FOUND NAMES python3 python REQUIRED)
  set(marlune_python ${MARLUNE_PYTHON_FOUND})
else()
  set(marlune_python ${MARLUNE_PYTHON})
endif()

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
          ${PROJECT_SOURCE_DIR}/python/README.md ${stage}/
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:marlune> ${stage}/marlune/${bundled_name}
  COMMAND ${marlune_python} -m build --no-isolation --wheel --outdir ${dist} ${stage}
  DEPENDS marlune
  COMMENT "The Python wheel with ${bundled_name} inside, in ${dist}"
  VERBATIM)
