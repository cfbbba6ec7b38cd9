# Finds the running Node.js and the headers the module compiles against.
#
# Node-API: the running Node's own include/node (next to the executable, never
# a fixed path), so the module is built against exactly the Node that will
# load it; where that Node was installed without headers, the node-api-headers
# package (a dependency of this package) supplies them.  The module uses only
# Node-API 8, so either set serves every Node that has it.
#
# zlib and OpenSSL: the module calls the copies inside the hosting Node, so it
# takes their declarations from Node's include/node too (it ships zlib.h and
# openssl/).  Only when that directory lacks them do the system's development
# headers have to be installed.
find_program(NODE_EXECUTABLE NAMES node nodejs REQUIRED)
if(NOT NODE_INCLUDE_DIR)
  execute_process(
    COMMAND ${NODE_EXECUTABLE} -p "require('path').join(require('path').dirname(require('fs').realpathSync(process.execPath)), '..', 'include', 'node')"
    OUTPUT_VARIABLE _node_inc OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _node_rc)
  if(NOT _node_rc EQUAL 0 OR NOT EXISTS "${_node_inc}/node_api.h")
    execute_process(
      COMMAND ${NODE_EXECUTABLE} -p "require(require.resolve('node-api-headers', { paths: [process.argv[1]] })).include_dir" "${CMAKE_SOURCE_DIR}"
      OUTPUT_VARIABLE _napi_inc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
      RESULT_VARIABLE _napi_rc)
    if(NOT _napi_rc EQUAL 0 OR NOT EXISTS "${_napi_inc}/node_api.h")
      message(FATAL_ERROR "Node-API headers not found: not next to ${NODE_EXECUTABLE} (looked in ${_node_inc}) "
                          "and the node-api-headers package is not installed. Run `npm install` in ${CMAKE_SOURCE_DIR}.")
    endif()
    set(_node_inc "${_napi_inc}")
  endif()
  get_filename_component(_node_inc "${_node_inc}" REALPATH)
  set(NODE_INCLUDE_DIR "${_node_inc}" CACHE PATH "Node-API include directory")
endif()
message(STATUS "Node.js: ${NODE_EXECUTABLE}, headers: ${NODE_INCLUDE_DIR}")

foreach(_hdr zlib.h openssl/md5.h)
  if(NOT EXISTS "${NODE_INCLUDE_DIR}/${_hdr}")
    string(MAKE_C_IDENTIFIER "ZEL_HAVE_${_hdr}" _var)
    find_path(${_var} ${_hdr})
    if(NOT ${_var})
      message(FATAL_ERROR "${_hdr} is neither in ${NODE_INCLUDE_DIR} nor on the system. Install the development "
                          "headers of zlib and OpenSSL: Debian/Ubuntu `apt-get install zlib1g-dev libssl-dev`, "
                          "Alpine `apk add zlib-dev openssl-dev`, Fedora `dnf install zlib-devel openssl-devel`.")
    endif()
  endif()
endforeach()
