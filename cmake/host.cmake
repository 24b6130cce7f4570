# Host build: 32-bit, so that pointers are as wide as on the chip and the firmware's register-address
# arithmetic is the same code in both builds.
add_compile_options(-m32)
# Floating point in SSE registers, rounded to float at every step as the Cortex-M4's FPU does; the x87
# default keeps 64-bit intermediates and gives, for example, a PWM compare value of 665 for 3.33 % of
# 20000 where the chip gives 666.
add_compile_options(-msse2 -mfpmath=sse)
add_link_options(-m32)
# Position-dependent code: a 32-bit x86 position-independent function first calls a helper to find its
# own address before it can reach any global (the installed bus, the register mirrors, the firmware's
# variables), which on the simulator's hottest paths (a register read, the 1 kHz tick) cost a tenth of
# the time. Nothing here is a shared library.
add_compile_options(-fno-pie)
add_link_options(-no-pie)
# 64-bit integers (virtual time in picoseconds, cycle counts) in pairs of general registers throughout,
# not now and then in SSE registers, and neighbouring 64-bit fields not stored together through one: a
# 64-bit or wider SSE load of values just stored as 32-bit halves waits for the stores to retire, and the
# chip's time is stored and read back on every register access, the tick's next time on every tick.
# (GCC's passes; clang, in the fuzz build, has no -mno-stv.)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-mno-stv -fno-tree-vectorize)
endif()
if(NODE_SANITIZE)
    # Line tables only (-g1): a sanitizer's report still names file and line, and the build, a test
    # build, compiles an eighth faster than with full debugging information.
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g1)
    add_link_options(-fsanitize=address,undefined)
endif()
if(NODE_FUZZ)
    include(cmake/fuzz.cmake)
endif()

# The platform and the firmware, compiled against the simulator's bus. Object libraries, so that a
# strong definition in the firmware always replaces the platform's weak default at link time.
add_library(node_device OBJECT Platform/Device/device_register_host.cpp)
target_include_directories(node_device PUBLIC ${NODE_FIRMWARE_INCLUDES})
target_compile_definitions(node_device PUBLIC NODE_HOST_BUS)
node_warnings(node_device)

add_library(node_hal OBJECT ${NODE_HAL_SOURCES})
target_link_libraries(node_hal PUBLIC node_device)
node_warnings(node_hal)

add_library(node_core OBJECT ${NODE_CORE_SOURCES} Platform/Host/reset_host.cpp)
target_link_libraries(node_core PUBLIC node_hal)
node_warnings(node_core)
# The firmware's main becomes node_main: the simulator keeps the process's own.
set_source_files_properties(Core/Src/main.cpp PROPERTIES COMPILE_DEFINITIONS main=node_main)

# The simulator sees the firmware through the register seam only: its include path holds the simulator's
# own folders and a folder with nothing but device_register.h (forwarding to the one in Platform/Device,
# so that a file that sees both includes it once), so that an #include of any other firmware or platform
# header from Sim/ fails to compile.
set(NODE_REGISTER_SEAM_DIR ${CMAKE_BINARY_DIR}/register_seam)
file(CONFIGURE OUTPUT ${NODE_REGISTER_SEAM_DIR}/device_register.h
    CONTENT "#include \"${CMAKE_SOURCE_DIR}/Platform/Device/device_register.h\"\n")
file(GLOB_RECURSE NODE_SIM_SOURCES CONFIGURE_DEPENDS Sim/*.cpp)
set(NODE_FIRMWARE_BINDING ${CMAKE_SOURCE_DIR}/Sim/Node/host_firmware.cpp)
list(REMOVE_ITEM NODE_SIM_SOURCES ${NODE_FIRMWARE_BINDING})
list(FILTER NODE_SIM_SOURCES EXCLUDE REGEX "/Sim/Cpu/")
# The helpers every tool shares; the simulator's library hands them on to whoever links it.
add_subdirectory(Common)
# The seam's host side (node_device) is part of the library: a program that links the simulator gets it
# from here and does not list its objects again.
add_library(node_sim STATIC ${NODE_SIM_SOURCES} $<TARGET_OBJECTS:node_device>)
target_include_directories(node_sim PUBLIC Sim/Chip Sim/Board Sim/Trace Sim/Node ${NODE_REGISTER_SEAM_DIR})
target_link_libraries(node_sim PUBLIC node_common)
target_compile_definitions(node_sim PUBLIC NODE_HOST_BUS)
node_warnings(node_sim)
target_compile_options(node_sim PRIVATE ${NODE_FUZZ_SIM_OPTIONS})

# The simulator's node bound to the firmware compiled for the host (its vector table and reset): linked
# into the programs that link the firmware, so that the simulator's library stays free of it.
add_library(node_firmware OBJECT ${NODE_FIRMWARE_BINDING})
target_link_libraries(node_firmware PUBLIC node_sim)
# The firmware's data, zeroed data, .noinit words and static initialisers in sections of their own, so
# that the simulated chip's reset can set them up again in the same process, as the start-up does.
target_link_options(node_firmware INTERFACE -Wl,-T,${CMAKE_SOURCE_DIR}/cmake/host_firmware_memory.ld)
node_warnings(node_firmware)
target_compile_options(node_firmware PRIVATE ${NODE_FUZZ_SIM_OPTIONS})

if(NOT NODE_FUZZ)
    add_subdirectory(Sim/Cpu)
endif()

enable_testing()
if(NODE_FUZZ)
    # The fuzz build holds only the fuzzers; every other test runs in the host presets.
    add_subdirectory(tests/fuzz)
    return()
endif()
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
add_subdirectory(tests)
if(EXISTS ${CMAKE_SOURCE_DIR}/Tools/nodesim/CMakeLists.txt)
    add_subdirectory(Tools/nodesim)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/Tools/nodecheck/CMakeLists.txt)
    add_subdirectory(Tools/nodecheck)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/Tools/soak/CMakeLists.txt)
    add_subdirectory(Tools/soak)
    add_subdirectory(Tools/sweep)
endif()
# The command lines are parsed with CLI11, whose code is all in its headers: at -O2 each parser's file
# takes some 20 s of CPU to compile, at -O0 9 s, and it runs once when a program starts. Not nodesim's:
# its parse at -O0 costs 1.9 million instructions more, which would blur the benchmark's counts.
foreach(parser Tools/nodecheck/main.cpp Tools/soak/main.cpp Tools/sweep/main.cpp)
    get_filename_component(parser_dir ${parser} DIRECTORY)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${parser})
        set_source_files_properties(${parser} DIRECTORY ${parser_dir} PROPERTIES COMPILE_OPTIONS -O0)
    endif()
endforeach()
