# Runs Doxygen (any warning fails it) and checks that the reference's first page links the main
# classes, functions and error kinds.
#   -DDOXYGEN=... -DDOXYFILE=... -DHTML_DIR=<the HTML output directory>
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND "${DOXYGEN}" "${DOXYFILE}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "doxygen failed (${result})")
endif()

file(READ "${HTML_DIR}/index.html" index)
set(missing "")
foreach(page
    classstrandel_1_1IsaacSimClient classstrandel_1_1Articulation classstrandel_1_1SurfaceGripper
    classstrandel_1_1Camera classstrandel_1_1WebSocketStream structstrandel_1_1CameraFrame
    structstrandel_1_1ClientOptions structstrandel_1_1StreamOptions classstrandel_1_1HTTPError
    classstrandel_1_1HTTPRequestError classstrandel_1_1TransportError classstrandel_1_1TimeoutError
    classstrandel_1_1HandshakeError classstrandel_1_1ResponseTooLargeError
    classstrandel_1_1MessageTooLargeError classstrandel_1_1FrameFormatError
    classstrandel_1_1StreamClosedError classstrandel_1_1PeerClosedError)
  if(NOT index MATCHES "href=\"${page}\\.html\"")
    list(APPEND missing "${page}")
  endif()
endforeach()
if(NOT index MATCHES "href=\"namespacestrandel\\.html#[^\"]+\">websocketUrlFor</a>")
  list(APPEND missing "websocketUrlFor")
endif()
if(missing)
  message(FATAL_ERROR "${HTML_DIR}/index.html does not link: ${missing}")
endif()
