# The metadata service's base URL, a setting of the build. The program puts
# it into a C++ wide string literal and appends every resource path to it
# ("/meta-data/mac"), so only plain http://host[:port] is taken, with an
# optional path prefix for a service that keeps its tree under one
# ("/latest"): no other scheme, no trailing "/" (it would make "//meta-data"),
# no quote or backslash (they would end or escape the literal), no blank,
# user, query or fragment. A host outside 169.254.0.0/16 is taken with a
# warning: the program asks such a host through the system's proxy settings.
# So is one outside 169.254.0.0/17: the route a run adds before it asks
# (169.254.0.0 mask 255.255.128.0, through the saved gateway) covers only
# that half, and the service's checks add only that route again.
#
#   include(cmake/metadata_url.cmake) then addrsmith_check_metadata_url(URL)
#   cmake -DMETADATA_BASE_URL=URL -P cmake/metadata_url.cmake
function(addrsmith_check_metadata_url url)
  set(host "[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?")
  set(segment "/[A-Za-z0-9._~%-]+")
  if(NOT url MATCHES "^http://(${host})(:([0-9]+))?(${segment})*$")
    message(FATAL_ERROR "METADATA_BASE_URL \"${url}\" is not http://host[:port] with an optional "
            "path prefix such as /latest: no other scheme, no trailing /, no quote, backslash, "
            "blank, user, query (?) or fragment (#).")
  endif()
  set(host "${CMAKE_MATCH_1}")
  if(NOT "${CMAKE_MATCH_3}" STREQUAL "" AND (CMAKE_MATCH_4 GREATER 65535 OR CMAKE_MATCH_4 EQUAL 0))
    message(FATAL_ERROR "METADATA_BASE_URL \"${url}\": the port ${CMAKE_MATCH_4} is not 1 to 65535.")
  endif()
  # The program's own test for asking straight, without a proxy: a dotted
  # IPv4 address in 169.254.0.0/16, parts 0 to 255 without leading zeros.
  set(direct FALSE)
  set(routed FALSE)
  if(host MATCHES "^169\\.254\\.(0|[1-9][0-9]?[0-9]?)\\.(0|[1-9][0-9]?[0-9]?)$")
    if(CMAKE_MATCH_1 LESS 256 AND CMAKE_MATCH_2 LESS 256)
      set(direct TRUE)
      if(CMAKE_MATCH_1 LESS 128)
        set(routed TRUE)
      endif()
    endif()
  endif()
  set(warning "")
  if(NOT direct)
    string(CONCAT warning "METADATA_BASE_URL: ${host} is not a link-local address (169.254.0.0/16). "
           "The program asks it through the system's proxy settings, as the local system account, "
           "over plain HTTP: whoever answers there sets this machine's network addresses.")
    message(WARNING "${warning}")
  elseif(NOT routed)
    string(CONCAT warning "METADATA_BASE_URL: ${host} is outside 169.254.0.0/17, the only part of the "
           "link-local network that the route each run adds (169.254.0.0 mask 255.255.128.0, through the "
           "saved gateway) leads to: the program reaches it only where the system has a route of its own there.")
    message(WARNING "${warning}")
  endif()
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    # tools/release.sh repeats it at its end.
    set(ADDRSMITH_METADATA_URL_WARNING "${warning}" CACHE INTERNAL "")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  addrsmith_check_metadata_url("${METADATA_BASE_URL}")
endif()
