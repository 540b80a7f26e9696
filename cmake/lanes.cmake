# The lanes of the suite: the test presets in CMakePresets.json that name a tree
# (DUSTMARROW_TREE) and a Wine (DUSTMARROW_WINE). As a script (cmake -P) it prints a
# "LANE TREE WINE WHAT IT RUNS" line a lane, in the presets' order, for ./dev and
# tools/lane.sh; in the build it makes each lane's folder, where ctest --preset LANE
# runs the lane's tree with working files of its own if tools/lane.sh finds it can run.
file(READ ${CMAKE_CURRENT_LIST_DIR}/../CMakePresets.json presets)
string(JSON count LENGTH "${presets}" testPresets)
set(tree_dir_i686 ${CMAKE_BINARY_DIR})
set(tree_dir_x64 ${CMAKE_BINARY_DIR}/x64)
foreach(i RANGE ${count})
    string(JSON tree ERROR_VARIABLE base GET "${presets}" testPresets ${i} environment DUSTMARROW_TREE)
    if(base) # the presets the lanes inherit from name no tree, and RANGE runs one past the last
        continue()
    endif()
    string(JSON name GET "${presets}" testPresets ${i} name)
    string(JSON wine GET "${presets}" testPresets ${i} environment DUSTMARROW_WINE)
    string(JSON what GET "${presets}" testPresets ${i} displayName)
    if(CMAKE_SCRIPT_MODE_FILE)
        message("${name} ${tree} ${wine} ${what}")
    else()
        file(WRITE ${CMAKE_BINARY_DIR}/lanes/${name}/CTestTestfile.cmake
            "execute_process(COMMAND ${PROJECT_SOURCE_DIR}/tools/lane.sh check RESULT_VARIABLE cannot)\n"
            "if(NOT cannot)\n    subdirs(\"${tree_dir_${tree}}\")\nendif()\n")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../CMakePresets.json)
    endif()
endforeach()
