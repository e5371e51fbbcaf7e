# SETUP_PEFILE_PYTHON: a Python interpreter that imports pefile, for the image checks. pefile is
# Debian's python3-pefile (tools/ensure-packages), which only Debian's own interpreter sees: the
# python3 that comes first on PATH (pyenv's, say) may not, so Debian's is tried after it.
if(NOT SETUP_PEFILE_PYTHON)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  foreach(candidate ${Python3_EXECUTABLE} /usr/bin/python3)
    execute_process(COMMAND ${candidate} -c "import pefile"
                    RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    if(status EQUAL 0)
      set(SETUP_PEFILE_PYTHON ${candidate} CACHE FILEPATH "A Python interpreter that imports pefile")
      break()
    endif()
  endforeach()
  if(NOT SETUP_PEFILE_PYTHON)
    message(FATAL_ERROR "No Python interpreter here imports pefile (tried ${Python3_EXECUTABLE} "
                        "and /usr/bin/python3): install Debian's python3-pefile with "
                        "tools/ensure-packages tests")
  endif()
endif()
