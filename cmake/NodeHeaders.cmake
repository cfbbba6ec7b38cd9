# Finds the running Node.js and its headers.  The headers are looked up next to
# the node executable (<prefix>/include/node), never at a fixed path, so the
# module is built against exactly the Node that will load it.
find_program(NODE_EXECUTABLE NAMES node nodejs REQUIRED)
if(NOT NODE_INCLUDE_DIR)
  execute_process(
    COMMAND ${NODE_EXECUTABLE} -p "require('path').join(require('path').dirname(require('fs').realpathSync(process.execPath)), '..', 'include', 'node')"
    OUTPUT_VARIABLE _node_inc OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _node_rc)
  if(NOT _node_rc EQUAL 0 OR NOT EXISTS "${_node_inc}/node_api.h")
    message(FATAL_ERROR "Node.js headers not found next to ${NODE_EXECUTABLE} (looked in ${_node_inc}). "
                        "Install the package that ships them (Debian: libnode-dev or nodejs with headers).")
  endif()
  get_filename_component(_node_inc "${_node_inc}" REALPATH)
  set(NODE_INCLUDE_DIR "${_node_inc}" CACHE PATH "Node.js include directory")
endif()
message(STATUS "Node.js: ${NODE_EXECUTABLE}, headers: ${NODE_INCLUDE_DIR}")
