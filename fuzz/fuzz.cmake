# Fuzz targets: the service code and the client library built with coverage and both sanitizers,
# driven by libFuzzer.
set(FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
add_library(agentfuzz STATIC ${AGENT_SERVICE_SOURCES})
target_include_directories(agentfuzz PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(agentfuzz PRIVATE ${FUZZ_FLAGS})

# exit and _exit end one input instead of the fuzzer; process creation is routed around.
set(FUZZ_WRAPS exit _exit fork execv execve execvp read write close dup2 pread pwrite ftruncate fsync fdatasync)
list(TRANSFORM FUZZ_WRAPS PREPEND "-Wl,--wrap=")

add_executable(service_fuzz fuzz/service_fuzz.cpp)
target_compile_options(service_fuzz PRIVATE ${FUZZ_FLAGS})
target_link_libraries(service_fuzz PRIVATE agentfuzz)
target_link_options(service_fuzz PRIVATE -fsanitize=fuzzer,address,undefined ${FUZZ_WRAPS})
target_link_libraries(service_fuzz PRIVATE pthread)

# The client library against arbitrary replies from an in-process fake agent.
set(HOSTLINK_FUZZ_SOURCES link calls batch batchcalls tools run connect args status ext auth)
list(TRANSFORM HOSTLINK_FUZZ_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/client/)
list(TRANSFORM HOSTLINK_FUZZ_SOURCES APPEND .cpp)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/include/hostlink/wire.h
  CONTENT "// Generated: the wire vocabulary of the source tree.\n#include \"${PROJECT_SOURCE_DIR}/common/wire.h\"\n")
add_library(hostlinkfuzz STATIC ${HOSTLINK_FUZZ_SOURCES})
target_include_directories(hostlinkfuzz PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/client/include
                                               ${CMAKE_BINARY_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_features(hostlinkfuzz PUBLIC cxx_std_20)
target_compile_options(hostlinkfuzz PRIVATE ${FUZZ_FLAGS})
add_executable(client_fuzz fuzz/client_fuzz.cpp)
target_compile_options(client_fuzz PRIVATE ${FUZZ_FLAGS})
target_link_libraries(client_fuzz PRIVATE hostlinkfuzz pthread)
target_link_options(client_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
