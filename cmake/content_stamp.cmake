# Writes STAMP with the SHA-256 of each of FILES ("|"-separated), only when that changes:
# a rule that depends on STAMP then runs again when a file's content changes, whatever its
# date says.
#   cmake -DFILES=a|b -DSTAMP=stamp -P content_stamp.cmake
string(REPLACE "|" ";" FILES "${FILES}")
set(sums "")
foreach(file IN LISTS FILES)
  file(SHA256 ${file} sum)
  string(APPEND sums "${sum}  ${file}\n")
endforeach()
set(old "")
if(EXISTS ${STAMP})
  file(READ ${STAMP} old)
endif()
if(NOT old STREQUAL sums)
  file(WRITE ${STAMP} "${sums}")
endif()
