# Installs the build into a scratch prefix and builds hosts against it: one
# through find_package(Quillet), one through pkg-config, and the C example;
# the C and the Python example render the sample documents with the
# installation alone. Then checks where an installation under /usr puts its
# store.
#   cmake -DBUILD=<build dir> -DSRC=<tests/install> -DSOURCE=<source dir> -DWORK=<scratch dir> -P CheckInstall.cmake
file(REMOVE_RECURSE "${WORK}")
unset(ENV{QUILLET_PREFERENCES})
set(prefix "${WORK}/prefix with space")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${prefix}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()

file(GLOB_RECURSE libs "${prefix}/lib*/libquillet.so*")
file(GLOB_RECURSE configs "${prefix}/*/QuilletConfig.cmake")
file(GLOB_RECURSE pcs "${prefix}/*/quillet.pc")
foreach(required libs configs pcs)
  if(NOT ${required})
    message(FATAL_ERROR "installation lacks ${required}")
  endif()
endforeach()
if(NOT EXISTS "${prefix}/include/quillet/quillet.h")
  message(FATAL_ERROR "installation lacks include/quillet/quillet.h")
endif()
set(store "${prefix}/etc/quillet/preferences.conf")
file(READ "${store}" text)
string(FIND "${text}" "QuilletInstallDir=${prefix}/" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the installed preference store does not point at the installation:\n${text}")
endif()

# find_package
execute_process(COMMAND ${CMAKE_COMMAND} -S "${SRC}" -B "${WORK}/consumer" "-DCMAKE_PREFIX_PATH=${prefix}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc EQUAL 0)
  execute_process(COMMAND ${CMAKE_COMMAND} --build "${WORK}/consumer" RESULT_VARIABLE rc OUTPUT_QUIET)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "a find_package(Quillet) host does not build")
endif()
execute_process(COMMAND "${WORK}/consumer/consumer" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the find_package(Quillet) host failed")
endif()

# pkg-config
list(GET pcs 0 pc)
get_filename_component(pcdir "${pc}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} "${pcdir}")
execute_process(COMMAND pkg-config --cflags --libs quillet OUTPUT_VARIABLE flags RESULT_VARIABLE rc
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know quillet")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
# Built without a run path of its own: the pkg-config file carries it.
execute_process(COMMAND c++ -std=c++17 "${SRC}/consumer.cpp" ${flags} -o "${WORK}/consumer-pc" RESULT_VARIABLE rc)
if(rc EQUAL 0)
  execute_process(COMMAND "${WORK}/consumer-pc" RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "a pkg-config host does not build or run")
endif()

# The C example, a C compiler's host of the installed C interface.
execute_process(COMMAND cc -std=c99 -Wall -Werror "${SOURCE}/examples/render.c" ${flags} -o "${WORK}/render"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "examples/render.c does not build against the installation")
endif()
set(documents sample.ps sample.pdf)
if(EXISTS "${prefix}/libexec/quillet/qvoffice")
  list(APPEND documents sample.docx)
endif()
foreach(document ${documents})
  execute_process(COMMAND "${WORK}/render" "${SOURCE}/data/${document}" "${WORK}/pages/${document}" 30
                  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "page 1: [^\n]*_001\\.png [1-9][0-9]*x[1-9][0-9]* \\(orientation 1\\)\n")
    message(FATAL_ERROR "examples/render.c did not render ${document}:\n${out}")
  endif()
endforeach()

# The Python example, through the installed package.
file(GLOB_RECURSE packages "${prefix}/__init__.py")
list(FILTER packages INCLUDE REGEX "/quillet/__init__\\.py$")
if(EXISTS /usr/bin/python3 AND packages)
  list(GET packages 0 package)
  get_filename_component(package "${package}" DIRECTORY)
  get_filename_component(pythonpath "${package}" DIRECTORY)
  set(ENV{PYTHONPATH} "${pythonpath}")
  list(TRANSFORM documents PREPEND "${SOURCE}/data/")
  execute_process(COMMAND /usr/bin/python3 "${SOURCE}/examples/render.py" "${WORK}/pages/python" ${documents}
                  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
  foreach(document ${documents})
    if(NOT out MATCHES "${document} page 1: [^\n]*_001\\.png [1-9][0-9]*x[1-9][0-9]* ")
      set(rc 1)
    endif()
  endforeach()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "examples/render.py did not render the samples:\n${out}")
  endif()
elseif(NOT packages)
  message(FATAL_ERROR "the installation lacks the Python package")
endif()

# Under /usr the store goes to /etc, and pkg-config needs no run path.
set(root "${WORK}/root")
set(ENV{DESTDIR} "${root}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix /usr RESULT_VARIABLE rc OUTPUT_QUIET)
unset(ENV{DESTDIR})
file(GLOB_RECURSE pcs "${root}/usr/*/quillet.pc")
if(NOT rc EQUAL 0 OR NOT EXISTS "${root}/etc/quillet/preferences.conf" OR NOT pcs)
  message(FATAL_ERROR "an installation under /usr lacks /etc/quillet/preferences.conf or its pkg-config file")
endif()
file(READ "${root}/etc/quillet/preferences.conf" text)
file(READ "${pcs}" pc)
if(NOT text MATCHES "QuilletInstallDir=/usr/libexec/quillet\n" OR pc MATCHES "rpath")
  message(FATAL_ERROR "an installation under /usr is not set up for /usr:\n${text}\n${pc}")
endif()
file(REMOVE_RECURSE "${WORK}")
message(STATUS "installation works through find_package and pkg-config")
