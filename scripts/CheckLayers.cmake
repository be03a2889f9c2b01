# Fails when a file of one layer of the daemon includes a header of a layer above it (or of a
# sibling it does not build on). Run by the build: cmake -DTAK_SOURCE_DIR=... -P CheckLayers.cmake

# The headers in comm-serd/ itself that belong to the base layer; the others there are the
# daemon's wiring (managers, factory, RPC) and sit on top.
set(base_headers
    ITakObject.h ITakRpcManager.h ITakSessionManager.h
    ITakTcpServerManager.h ITakThreadManager.h STLogPacket.h TakComUtil.h TakCommandLine.h
    TakConfigReader.h TakGlobalInfoManager.h TakMetrics.h TakMetricsText.h TakStrand.h
    TakSyncPoint.h TakThreadManager.h TakThreadPool.h TakMutex.h TakLockGuard.h TakUniqueLock.h
    TakThreadAnnotations.h)

# Interfaces in comm-serd/ that a layer below implements belong to that layer.
set(db_headers ITakDbManager.h)

# What each layer may include, besides the logger and its own folder.
set(allowed_base base)
set(allowed_net base)
set(allowed_protocol base)
set(allowed_db base)
set(allowed_business base db)
set(allowed_session base db business protocol net)

set(failures "")
foreach(layer base net protocol db business session)
    if(layer STREQUAL "base")
        set(files "")
        foreach(header ${base_headers})
            list(APPEND files ${TAK_SOURCE_DIR}/comm-serd/${header})
            string(REPLACE ".h" ".cpp" source ${header})
            if(EXISTS ${TAK_SOURCE_DIR}/comm-serd/${source})
                list(APPEND files ${TAK_SOURCE_DIR}/comm-serd/${source})
            endif()
        endforeach()
    else()
        file(GLOB files ${TAK_SOURCE_DIR}/comm-serd/${layer}/*.h
             ${TAK_SOURCE_DIR}/comm-serd/${layer}/*.cpp)
    endif()
    foreach(file ${files})
        if(NOT EXISTS ${file})
            continue()
        endif()
        file(STRINGS ${file} includes REGEX "^#include \"comm-serd/")
        foreach(line ${includes})
            string(REGEX REPLACE "^#include \"comm-serd/([^\"]*)\".*" "\\1" path "${line}")
            if(path MATCHES "^([a-z]+)/")
                set(target ${CMAKE_MATCH_1})
            else()
                list(FIND base_headers ${path} index)
                list(FIND db_headers ${path} db_index)
                if(NOT index EQUAL -1)
                    set(target base)
                elseif(NOT db_index EQUAL -1)
                    set(target db)
                else()
                    set(target core)
                endif()
            endif()
            list(FIND allowed_${layer} ${target} index)
            if(NOT target STREQUAL layer AND index EQUAL -1)
                file(RELATIVE_PATH rel ${TAK_SOURCE_DIR} ${file})
                string(APPEND failures "\n  ${rel} (${layer}) includes comm-serd/${path} (${target})")
            endif()
        endforeach()
    endforeach()
endforeach()

if(failures)
    message(FATAL_ERROR "includes that run up the layers:${failures}")
endif()
