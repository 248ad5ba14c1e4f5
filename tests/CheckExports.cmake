# Fails unless every dynamic symbol that libquillet defines belongs to the C
# interface or the Quillet namespace's public classes and functions (plus the
# C++ runtime's typeinfo and vtables for them).
execute_process(COMMAND nm -D --defined-only -C ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(bad "")
foreach(line ${lines})
  if(line STREQUAL "")
    continue()
  endif()
  string(REGEX REPLACE "^[0-9a-f]+ [A-Za-z] " "" sym "${line}")
  if(sym MATCHES "Quillet::(IRIPBase|IRIPStatus|GetRIPStatus|GetRIPConfinement|BitmapFile|IPageNotify|NonCopyable|CopyCount|CreateRIPService|RIPFormat|SetOfficeLimits|GetOfficeLimits|StartOfficeProcess|StopOfficeProcesses)"
     OR sym MATCHES "^quillet_[a-z_]+$"
     OR sym MATCHES "^_(init|fini|edata|end|_bss_start)$" OR sym MATCHES "^__(bss_start|gmon_start__)$")
    continue()
  endif()
  list(APPEND bad "${sym}")
endforeach()
if(bad)
  string(REPLACE ";" "\n  " bad "${bad}")
  message(FATAL_ERROR "Unexpected exported symbols:\n  ${bad}")
endif()
message(STATUS "Exported symbols are the public interface only")
