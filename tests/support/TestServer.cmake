# The native test HTTPS servers as a ctest fixture of the Windows tree.
#
# Included, it defines tessaline_test_server_fixture(), which adds
#   server.start  (FIXTURES_SETUP https-server): tessaline-test-server on
#                 28443 and 28444 with the trusted certificate, on 127.0.0.1
#                 and on the addresses of the second loopback name
#                 (TESSALINE_TEST_MIRROR_HOST, from loopback-name), and a second
#                 one on 28445 with the untrusted CA's certificate, both
#                 serving ${PROJECT_BINARY_DIR}/www; ready once each answers
#                 /control/ping over verified TLS;
#   server.stop   (FIXTURES_CLEANUP https-server): stops them by pid file.
# Logs and pid files are in ${PROJECT_BINARY_DIR}/test-server. Certificates
# come from $TESSALINE_WINE_ROOT/tls when that is set at test time (the folder
# that prepare_test_tls fills and whose CA the prefix trusts), otherwise from
# TESSALINE_TEST_TLS_DIR.
#
# Run with `cmake -P`, this file does the starting and stopping itself.
#
# The ports sit below Linux's ephemeral range (32768-60999): a port inside it
# can be held, for the life of a connection, as the local end of any
# program's outgoing connection, and the server then cannot bind it.

if(NOT CMAKE_SCRIPT_MODE_FILE)
  get_filename_component(_tessaline_default_tls "${PROJECT_BINARY_DIR}/../wine/tls" ABSOLUTE)
  set(TESSALINE_TEST_TLS_DIR "${_tessaline_default_tls}" CACHE PATH
      "Test certificates (make-test-certs output) when TESSALINE_WINE_ROOT is not set")

  # The second host name of the redirect tests, found anew at each configure.
  execute_process(COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/loopback-name"
                  OUTPUT_VARIABLE _tessaline_loopback OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_VARIABLE _tessaline_loopback_error RESULT_VARIABLE _tessaline_loopback_code)
  if(NOT _tessaline_loopback_code EQUAL 0)
    message(FATAL_ERROR "${_tessaline_loopback_error}")
  endif()
  string(REPLACE " " ";" _tessaline_loopback "${_tessaline_loopback}")
  list(POP_FRONT _tessaline_loopback TESSALINE_TEST_MIRROR_HOST)
  set(TESSALINE_TEST_MIRROR_ADDRESSES ${_tessaline_loopback})

  function(tessaline_test_server_fixture)
    set(script "${CMAKE_CURRENT_FUNCTION_LIST_FILE}")
    list(JOIN TESSALINE_TEST_MIRROR_ADDRESSES "," mirror_addresses)
    set(arguments
      "-DMIRROR_ADDRESSES=${mirror_addresses}"
      "-DSERVER=${TESSALINE_NATIVE_BUILD_DIR}/tests/support/tessaline-test-server"
      "-DROOT=${PROJECT_BINARY_DIR}/www"
      "-DRUN=${PROJECT_BINARY_DIR}/test-server"
      "-DTLS=${TESSALINE_TEST_TLS_DIR}")
    add_test(NAME server.start COMMAND "${CMAKE_COMMAND}" ${arguments} -DACTION=start -P "${script}")
    add_test(NAME server.stop COMMAND "${CMAKE_COMMAND}" ${arguments} -DACTION=stop -P "${script}")
    set_tests_properties(server.start PROPERTIES FIXTURES_SETUP https-server TIMEOUT 60)
    set_tests_properties(server.stop PROPERTIES FIXTURES_CLEANUP https-server TIMEOUT 60)
  endfunction()
  return()
endif()

# ---- script mode: -DACTION=start|stop -DSERVER=... -DROOT=... -DRUN=... -DTLS=... -DMIRROR_ADDRESSES=a,b ----
cmake_policy(VERSION 3.25)

if(DEFINED ENV{TESSALINE_WINE_ROOT} AND NOT "$ENV{TESSALINE_WINE_ROOT}" STREQUAL "")
  set(TLS "$ENV{TESSALINE_WINE_ROOT}/tls")
endif()
# Loopback never goes through a proxy.
set(ENV{no_proxy} "localhost,127.0.0.1")
set(ENV{NO_PROXY} "localhost,127.0.0.1")

# Running, not merely a zombie: the container's first process may be slow to
# reap the servers, which were detached from their parent.
function(_tessaline_alive pid result)
  execute_process(COMMAND cat "/proc/${pid}/status" OUTPUT_VARIABLE status ERROR_QUIET)
  if(status MATCHES "\nState:[ \t]*[^Z \t]")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Ends the server recorded in `pid_file`, if it still runs and is ours.
function(_tessaline_stop pid_file)
  if(NOT EXISTS "${pid_file}")
    return()
  endif()
  file(STRINGS "${pid_file}" pid LIMIT_COUNT 1)
  set(program "")
  if(pid MATCHES "^[0-9]+$" AND IS_SYMLINK "/proc/${pid}/exe")
    file(READ_SYMLINK "/proc/${pid}/exe" program)
  endif()
  # A rebuilt server still runs from its deleted file.
  if(program MATCHES "/tessaline-test-server( \\(deleted\\))?$")
    execute_process(COMMAND kill -TERM ${pid} OUTPUT_QUIET ERROR_QUIET)
    foreach(attempt RANGE 100)
      _tessaline_alive(${pid} alive)
      if(NOT alive)
        break()
      endif()
      execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 0.1)
    endforeach()
    if(alive)
      message(WARNING "test server ${pid} ignored SIGTERM; killing it")
      execute_process(COMMAND kill -KILL ${pid} OUTPUT_QUIET ERROR_QUIET)
    endif()
  endif()
  file(REMOVE "${pid_file}")
endfunction()

# Starts one server in the background and waits until every port answers
# /control/ping over TLS verified against `ca`.
# What the system reports on the ports, for a server that could not bind.
function(_tessaline_port_holders ports out)
  string(REPLACE ";" "|" alternatives "${ports}")
  string(REPLACE ";" " " listed "${ports}")
  execute_process(
    COMMAND sh -c "command -v ss >/dev/null || exit 0; ss -tanp | grep -E ':(${alternatives})\\b'"
    OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(found)
    set(${out} "sockets on ${listed}:\n${found}\n" PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

function(_tessaline_start name certificate key ca addresses)
  set(ports ${ARGN})
  foreach(file IN ITEMS "${SERVER}" "${TLS}/${certificate}" "${TLS}/${key}" "${TLS}/${ca}")
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "${file} is missing: build the native tree and run prepare_test_tls (scripts/test) first")
    endif()
  endforeach()
  set(log "${RUN}/${name}.log")
  set(command "${SERVER}" --cert "${TLS}/${certificate}" --key "${TLS}/${key}" --root "${ROOT}"
              --pid-file "${RUN}/${name}.pid")
  foreach(port IN LISTS ports)
    list(APPEND command --port ${port})
  endforeach()
  foreach(address IN LISTS addresses)
    list(APPEND command --address ${address})
  endforeach()
  # Detached from ctest's pipes, so the test ends while the server runs on.
  execute_process(
    COMMAND sh -c [[log=$1; shift; "$@" >"$log" 2>&1 </dev/null & echo $!]] sh "${log}" ${command}
    OUTPUT_VARIABLE pid OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE code)
  if(NOT code EQUAL 0 OR NOT pid MATCHES "^[0-9]+$")
    message(FATAL_ERROR "could not start ${SERVER}")
  endif()
  # The pid file appears once every port is bound, so a ping cannot be
  # answered by some other program that holds the port.
  set(status "none")
  string(TIMESTAMP started "%s")
  math(EXPR deadline "${started} + 10")
  foreach(port IN LISTS ports)
    set(answered FALSE)
    while(TRUE)
      string(TIMESTAMP now "%s")
      if(now GREATER deadline)
        break()
      endif()
      _tessaline_alive(${pid} alive)
      if(NOT alive)
        file(READ "${log}" output)
        _tessaline_port_holders("${ports}" holders)
        message(FATAL_ERROR "the ${name} test server ended at start:\n${output}${holders}")
      endif()
      set(recorded "")
      if(EXISTS "${RUN}/${name}.pid")
        file(STRINGS "${RUN}/${name}.pid" recorded LIMIT_COUNT 1)
      endif()
      if(NOT recorded STREQUAL pid)
        execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 0.1)
        continue()
      endif()
      file(DOWNLOAD "https://localhost:${port}/control/ping" "${RUN}/ping" TLS_VERIFY ON TLS_CAINFO "${TLS}/${ca}"
           TIMEOUT 1 STATUS status)
      list(GET status 0 status_code)
      if(status_code EQUAL 0)
        set(answered TRUE)
        break()
      endif()
      execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 0.1)
    endwhile()
    if(NOT answered)
      file(READ "${log}" output)
      message(FATAL_ERROR
        "the ${name} test server did not answer https://localhost:${port}/control/ping within 10 s "
        "(last answer: ${status}):\n${output}")
    endif()
  endforeach()
  message(STATUS "${name} test server ${pid} on ports ${ports}, log ${log}")
endfunction()

if(ACTION STREQUAL "start")
  _tessaline_stop("${RUN}/trusted.pid")
  _tessaline_stop("${RUN}/untrusted.pid")
  file(MAKE_DIRECTORY "${ROOT}" "${RUN}")
  string(REPLACE "," ";" mirror_addresses "${MIRROR_ADDRESSES}")
  set(trusted_addresses 127.0.0.1 ${mirror_addresses})
  list(REMOVE_DUPLICATES trusted_addresses)
  _tessaline_start(trusted server.pem server-key.pem ca.pem "${trusted_addresses}" 28443 28444)
  _tessaline_start(untrusted untrusted-server.pem untrusted-server-key.pem untrusted-ca.pem 127.0.0.1 28445)
elseif(ACTION STREQUAL "stop")
  _tessaline_stop("${RUN}/trusted.pid")
  _tessaline_stop("${RUN}/untrusted.pid")
else()
  message(FATAL_ERROR "ACTION must be start or stop")
endif()
