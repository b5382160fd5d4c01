# The endpoint every request carries, WINM_SERVICE_URL, from the scheme and
# host:port settings. Checked here, so that a typo fails the configure step
# instead of building an updater that cannot reach its service.
if(NOT WINM_SERVICE_SCHEME STREQUAL "http" AND NOT WINM_SERVICE_SCHEME STREQUAL "https")
  message(FATAL_ERROR
    "WINM_SERVICE_SCHEME is \"${WINM_SERVICE_SCHEME}\": it must be http or https")
endif()
if(WINM_SERVICE_HOSTPORT STREQUAL "" OR WINM_SERVICE_HOSTPORT MATCHES "[/ \"\\\\?#@]")
  message(FATAL_ERROR
    "WINM_SERVICE_HOSTPORT is \"${WINM_SERVICE_HOSTPORT}\": it must be host or host:port")
endif()

# The host alone: "[v6]:port", "[v6]", "name:port" or "name".
if(WINM_SERVICE_HOSTPORT MATCHES "^\\[([^]]*)\\](:[0-9]+)?$")
  set(_winm_service_host "${CMAKE_MATCH_1}")
  set(_winm_service_has_port "${CMAKE_MATCH_2}")
elseif(WINM_SERVICE_HOSTPORT MATCHES "^([^:]+)(:[0-9]+)?$")
  set(_winm_service_host "${CMAKE_MATCH_1}")
  set(_winm_service_has_port "${CMAKE_MATCH_2}")
else()
  message(FATAL_ERROR
    "WINM_SERVICE_HOSTPORT is \"${WINM_SERVICE_HOSTPORT}\": it must be host or host:port")
endif()

# Without a port the scheme's own applies (80 or 443); the URL says nothing
# then, and the request code takes the scheme's default.
set(WINM_SERVICE_URL
    "${WINM_SERVICE_SCHEME}://${WINM_SERVICE_HOSTPORT}/m/appreq/mobilesearchapp")

# host:port with the port always given, for tools that redirect the endpoint.
if(_winm_service_has_port)
  set(WINM_SERVICE_ENDPOINT "${WINM_SERVICE_HOSTPORT}")
elseif(WINM_SERVICE_SCHEME STREQUAL "https")
  set(WINM_SERVICE_ENDPOINT "${WINM_SERVICE_HOSTPORT}:443")
else()
  set(WINM_SERVICE_ENDPOINT "${WINM_SERVICE_HOSTPORT}:80")
endif()

if(WINM_SERVICE_SCHEME STREQUAL "http")
  string(TOLOWER "${_winm_service_host}" _winm_service_host)
  if(NOT _winm_service_host MATCHES "^(localhost|127\\.[0-9.]+|::1)$")
    message(WARNING
      "The update service ${WINM_SERVICE_URL} is plain HTTP to a host that is not this "
      "machine: anyone on the path can forge its answers. Configure with "
      "-DWINM_SERVICE_SCHEME=https for a real service.")
  endif()
endif()
message(STATUS "Update service endpoint: ${WINM_SERVICE_URL}")
# For tools/run-demo.sh, which redirects the endpoint to its own service.
set(WINM_SERVICE_ENDPOINT "${WINM_SERVICE_ENDPOINT}" CACHE INTERNAL "")
