# release/contract.json, what a release is, read with CMake's own JSON support: the project's
# identity, the package members, the architectures and the file names come from there.
#   dorvane_contract(OUT KEY...)   the value at that path (a JSON text for an object or list)
#   dorvane_contract_list(OUT KEY...)   the keys of an object, or the items of a list, as a list
#   dorvane_contract_member(OUT ROLE)   the name of the package member with that role
# (Included by the configure, which reconfigures when the contract changes, and by CPack's
# package scripts.)
set(DORVANE_CONTRACT_FILE ${CMAKE_CURRENT_LIST_DIR}/../release/contract.json)
file(READ ${DORVANE_CONTRACT_FILE} DORVANE_CONTRACT)

function(dorvane_contract out)
  string(JSON value GET "${DORVANE_CONTRACT}" ${ARGN})
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

function(dorvane_contract_list out)
  string(JSON kind TYPE "${DORVANE_CONTRACT}" ${ARGN})
  string(JSON count LENGTH "${DORVANE_CONTRACT}" ${ARGN})
  set(items "")
  if(count GREATER 0)
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
      if(kind STREQUAL OBJECT)
        string(JSON item MEMBER "${DORVANE_CONTRACT}" ${ARGN} ${i})
      else()
        string(JSON item GET "${DORVANE_CONTRACT}" ${ARGN} ${i})
      endif()
      list(APPEND items "${item}")
    endforeach()
  endif()
  set(${out} "${items}" PARENT_SCOPE)
endfunction()

function(dorvane_contract_member out role)
  dorvane_contract_list(members members)
  foreach(member IN LISTS members)
    string(JSON has ERROR_VARIABLE none GET "${member}" role)
    if(has STREQUAL role)
      string(JSON name GET "${member}" name)
      set(${out} "${name}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

#   dorvane_json_set(JSON_VAR VALUE KEY...)   sets that path of the JSON text to the string VALUE
function(dorvane_json_set json value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  string(JSON ${json} SET "${${json}}" ${ARGN} "\"${value}\"")
  set(${json} "${${json}}" PARENT_SCOPE)
endfunction()
