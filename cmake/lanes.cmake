# The lanes of the suite, each a test preset in CMakePresets.json that names the tree
# it runs (DUSTMARROW_TREE) and its Wine (DUSTMARROW_WINE). Run as a script
# (cmake -P cmake/lanes.cmake), it prints one "LANE TREE WINE WHAT IT RUNS" line a lane,
# in the presets' order, for ./dev and tools/lane.sh. Included by the build, it makes
# each lane's folder, from which ctest --preset LANE runs the lane's tree with ctest's
# working files of its own, where tools/lane.sh finds that this machine can run it.
file(READ ${CMAKE_CURRENT_LIST_DIR}/../CMakePresets.json presets)
string(JSON count LENGTH "${presets}" testPresets)
math(EXPR last "${count} - 1")
set(lines "")
foreach(i RANGE ${last})
    string(JSON tree ERROR_VARIABLE base GET "${presets}" testPresets ${i} environment DUSTMARROW_TREE)
    if(base) # the presets the lanes inherit from name no tree
        continue()
    endif()
    foreach(field name environment.DUSTMARROW_WINE displayName)
        string(REPLACE "." ";" path ${field})
        string(JSON ${field} GET "${presets}" testPresets ${i} ${path})
    endforeach()
    string(APPEND lines "${name} ${tree} ${environment.DUSTMARROW_WINE} ${displayName}\n")
    if(NOT CMAKE_SCRIPT_MODE_FILE)
        set(tree_dir ${CMAKE_BINARY_DIR})
        if(tree STREQUAL x64)
            set(tree_dir ${X64_TREE_DIR})
        endif()
        file(WRITE ${CMAKE_BINARY_DIR}/lanes/${name}/CTestTestfile.cmake
            "execute_process(COMMAND ${PROJECT_SOURCE_DIR}/tools/lane.sh check RESULT_VARIABLE cannot)\n"
            "if(NOT cannot)\n    subdirs(\"${tree_dir}\")\nendif()\n")
    endif()
endforeach()
if(CMAKE_SCRIPT_MODE_FILE)
    string(STRIP "${lines}" lines)
    message("${lines}")
else()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../CMakePresets.json)
endif()
