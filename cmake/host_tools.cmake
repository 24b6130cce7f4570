# The image's tests run programs of the host build (nodesim --elf, the sweep, nodecheck, the test runners
# linked with the chip models), which the ARM toolchain cannot build. NODE_HOST_TOOLS_DIR is the host
# build folder they come from, whatever folder this build is in (the stm32f411 preset sets it to
# build/host of the source tree; -DNODE_HOST_TOOLS_DIR=... names another).
set(NODE_HOST_TOOLS_DIR "${CMAKE_SOURCE_DIR}/build/host" CACHE PATH
    "The host build folder whose programs the image's tests run")
set(NODE_HOST_BUILD_HINT "cmake --preset host && cmake --build --preset host")
if(NOT EXISTS ${NODE_HOST_TOOLS_DIR}/Tools/nodesim/nodesim)
    message(WARNING "The image's tests run the host build's programs, and ${NODE_HOST_TOOLS_DIR} has none "
                    "yet: build them before running ctest here (${NODE_HOST_BUILD_HINT}), or point "
                    "NODE_HOST_TOOLS_DIR at a host build folder that has them.")
endif()

# node_host_tools(VAR PROGRAM...): in VAR, the start of a test command that runs what follows it only
# when each PROGRAM (a path in the host build folder) is there, and otherwise fails the test naming the
# missing ones and the command that builds them (ctest would report the test as "Not Run" only).
function(node_host_tools var)
    set(${var} bash ${CMAKE_SOURCE_DIR}/tests/target/require_host_tools.sh ${NODE_HOST_TOOLS_DIR} ${ARGN} --
        PARENT_SCOPE)
endfunction()
