# The embedded module store: the eight game modules as resources of type
# "BIN", language 2052. By default the build embeds stand-ins made from
# source (tools/standin_modules); GAME_MODULES_DIR names a folder with the
# real files instead.
set(GAME_MODULES_DIR "" CACHE PATH "folder holding the eight real game modules (empty: build stand-ins)")

# Cached so that tools/ and tests/ (other directory scopes) see them too.
set(CF_GAME_MODULES rs.dll fmodex.dll SndDrv.dll msvcr71.dll miniobject.dll cshell.dll atl80.dll LTMsg.dll
    CACHE INTERNAL "")
set(CF_GAME_MODULE_IDS 232 234 235 236 237 238 239 240 CACHE INTERNAL "")
set(CF_STANDIN_DIR ${CMAKE_BINARY_DIR}/standin-modules CACHE INTERNAL "")

if(GAME_MODULES_DIR)
    set(CF_MODULE_STORE_DIR ${GAME_MODULES_DIR})
    foreach(module IN LISTS CF_GAME_MODULES)
        if(NOT EXISTS ${GAME_MODULES_DIR}/${module})
            message(FATAL_ERROR "GAME_MODULES_DIR=${GAME_MODULES_DIR} lacks ${module}; "
                                "it must hold all of: ${CF_GAME_MODULES}")
        endif()
    endforeach()
else()
    set(CF_MODULE_STORE_DIR ${CF_STANDIN_DIR})
endif()

set(CF_MODULE_STORE_RC ${CMAKE_BINARY_DIR}/module_store.rc CACHE INTERNAL "")
set(store_files "")
set(rc_text "LANGUAGE 0x04, 0x02\n")
foreach(module id IN ZIP_LISTS CF_GAME_MODULES CF_GAME_MODULE_IDS)
    list(APPEND store_files ${CF_MODULE_STORE_DIR}/${module})
    string(APPEND rc_text "${id} BIN \"${CF_MODULE_STORE_DIR}/${module}\"\n")
endforeach()
file(CONFIGURE OUTPUT ${CF_MODULE_STORE_RC} CONTENT "${rc_text}")
set(CF_MODULE_STORE_FILES "${store_files}" CACHE INTERNAL "")
set(CF_MODULE_STORE_DIR "${CF_MODULE_STORE_DIR}" CACHE INTERNAL "")

# cf_add_module_store(TARGET): embeds the store in TARGET (the product, or a
# test that restores modules from its own executable).
function(cf_add_module_store target)
    target_sources(${target} PRIVATE ${CF_MODULE_STORE_RC})
    set_source_files_properties(${CF_MODULE_STORE_RC} PROPERTIES OBJECT_DEPENDS "${CF_MODULE_STORE_FILES}")
    if(NOT GAME_MODULES_DIR)
        foreach(module IN LISTS CF_GAME_MODULES)
            string(REGEX REPLACE "\\.dll$" "" stem ${module})
            add_dependencies(${target} standin_${stem})
        endforeach()
    endif()
endfunction()

# cf_store_dir_definition(TARGET): tells a test where the store's files are
# as its Wine prefix sees them (Z: is the build tree), when they are there.
function(cf_store_dir_definition target)
    file(RELATIVE_PATH rel ${CMAKE_BINARY_DIR} ${CF_MODULE_STORE_DIR})
    if(NOT rel MATCHES "^\\.\\.")
        string(REPLACE "/" "\\\\" rel "${rel}")
        target_compile_definitions(${target} PRIVATE "CF_STORE_DIR=L\"Z:\\\\${rel}\\\\\"")
    endif()
endfunction()
