# nlohmann/json from the PyPI package nlohmann-json (headers only), for a
# machine without the system package. Defines nlohmann_json::nlohmann_json as
# the system package does, or stops with what to install.
find_package(Python 3.8 COMPONENTS Interpreter QUIET)
set(_oska_json_include "")
if(Python_Interpreter_FOUND)
  # find_spec locates the package without importing it.
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
      "import importlib.util, pathlib; s = importlib.util.find_spec('nlohmann_json'); print(pathlib.Path(s.origin).parent / 'include' if s and s.origin else '')"
    OUTPUT_VARIABLE _oska_json_include
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
endif()
if(NOT _oska_json_include OR NOT EXISTS "${_oska_json_include}/nlohmann/json.hpp")
  message(FATAL_ERROR
    "nlohmann/json 3.11 not found. Install the system package (Debian: apt-get install "
    "nlohmann-json3-dev) or the PyPI package (pip install nlohmann-json==3.11.3) "
    "into the Python that CMake finds (${Python_EXECUTABLE}).")
endif()
message(STATUS "nlohmann/json: headers of the PyPI package, ${_oska_json_include}")
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${_oska_json_include}")
