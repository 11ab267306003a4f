# Fails the build when the identifiers widl generated from host/broker_server/zelbroker.idl
# (IDS_FILE, widl -u) differ from the ones the module and the host are compiled with (HEADERS).
#   cmake -DIDS_FILE=... -DHEADERS="a.h;b.h" -DSTAMP=... -P check_broker_ids.cmake

# The numbers of a GUID written as hexadecimal literals, as one decimal list.
function(guid_numbers text out)
  string(REGEX MATCHALL "0x[0-9a-fA-F]+" literals "${text}")
  set(numbers "")
  foreach(literal IN LISTS literals)
    math(EXPR number "${literal}")
    list(APPEND numbers ${number})
  endforeach()
  list(LENGTH numbers count)
  if(NOT count EQUAL 11)
    message(FATAL_ERROR "not a GUID: ${text}")
  endif()
  set(${out} "${numbers}" PARENT_SCOPE)
endfunction()

file(READ "${IDS_FILE}" generated)
set(headers "")
foreach(header IN LISTS HEADERS)
  file(READ "${header}" text)
  string(APPEND headers "${text}")
endforeach()

# widl's name -> how the C++ headers write the same identifier.
set(pairs
  "LIBID_ZelBrokerLib|kLibidZelBroker = {[^;]*}"
  "IID_IKroBroker|__CRT_UUID_DECL\\(IKroBroker,[^)]*\\)"
  "IID_IZelBrokerHost|__CRT_UUID_DECL\\(IZelBrokerHost,[^)]*\\)"
  "DIID__IKroInEvents|kDiidKroInEvents = {[^;]*}"
  "CLSID_KroBroker|kClsidKroBroker = {[^;]*}")
foreach(pair IN LISTS pairs)
  string(REPLACE "|" ";" parts "${pair}")
  list(GET parts 0 name)
  list(GET parts 1 pattern)
  string(REGEX MATCH "MIDL_DEFINE_GUID\\([A-Z]+, ${name},[^)]*\\)" from_idl "${generated}")
  string(REGEX MATCH "${pattern}" from_header "${headers}")
  if(from_idl STREQUAL "" OR from_header STREQUAL "")
    message(FATAL_ERROR "${name}: not found in widl's identifiers or in the headers")
  endif()
  string(REGEX REPLACE "^MIDL_DEFINE_GUID\\([A-Z]+, ${name}," "" from_idl "${from_idl}")
  string(REGEX REPLACE "^__CRT_UUID_DECL\\([A-Za-z]+," "" from_header "${from_header}")
  guid_numbers("${from_idl}" idl_numbers)
  guid_numbers("${from_header}" header_numbers)
  if(NOT idl_numbers STREQUAL header_numbers)
    message(FATAL_ERROR "${name} differs between zelbroker.idl and the C++ headers")
  endif()
endforeach()
file(WRITE "${STAMP}" "checked\n")
