# Fuzz targets: the service code built with coverage and both sanitizers, driven by libFuzzer.
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
