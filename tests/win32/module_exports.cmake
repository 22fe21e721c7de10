# The export and import tables of TWSccApi.dll, read with objdump -p (run by
# ctest in each Windows build: cmake -DDLL=... -DOBJDUMP=... -P this file).
#
# A host finds the provider's functions by their plain C names: every
# export must be an undecorated Scc* or VelScc* name (no leading underscore,
# no @N of a __stdcall function, no C++ name, no library's symbol), and the
# functions a host needs to bind and work must all be there. The module must
# also import no MinGW runtime DLL: it is copied alone into a host's folder.
cmake_minimum_required(VERSION 3.25)
foreach(var DLL OBJDUMP)
  if(NOT ${var})
    message(FATAL_ERROR "module_exports.cmake needs -D${var}=...")
  endif()
endforeach()
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${rc})")
endif()

# The name table: lines "\t[  n] Name" after "[Ordinal/Name Pointer] Table".
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${DLL} has no export name table")
endif()
string(SUBSTRING "${dump}" ${at} -1 table)
string(REGEX REPLACE "\n\n.*" "" table "${table}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
set(names "")
foreach(row ${rows})
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
  list(APPEND names "${name}")
  if(NOT name MATCHES "^(Scc|VelScc)[A-Za-z]+$")
    message(SEND_ERROR "unexpected export '${name}'")
  endif()
endforeach()

# Every function the module provides, the extension exports included.
set(required SccInitialize SccUninitialize SccGetVersion SccGetCommandOptions SccSetOption
  SccOpenProject SccCloseProject SccGetProjPath SccGet SccCheckout SccUncheckout SccCheckin
  SccAdd SccAddFromScc SccRemove SccRename SccDiff SccHistory SccProperties SccRunScc
  SccQueryInfo SccPopulateList SccGetEvents VelSccGetDirs VelSccGetEnvironmentSettings
  VelSccGetProperty VelSccSetProperty VelSccShowEnvironmentSettings VelSccPopulateTree
  VelSccQueryLocalStatus VelSccQueryStatus VelSccGetVersion)
foreach(name ${required})
  if(NOT name IN_LIST names)
    message(SEND_ERROR "export ${name} is missing")
  endif()
endforeach()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(line ${imports})
  string(TOLOWER "${line}" lower)
  if(lower MATCHES "libstdc|libgcc|libwinpthread|libcrypto|libboost|libsqlite")
    message(SEND_ERROR "imports a runtime DLL: ${line}")
  endif()
endforeach()
list(LENGTH names count)
message(STATUS "${DLL}: ${count} exports, all Scc*/VelScc*")
