# The lanes of the suite, each a test preset in CMakePresets.json that names the tree
# it runs (DUSTMARROW_TREE) and the Wine it runs it under (DUSTMARROW_WINE): LANES, one
# "LANE TREE WINE WHAT IT RUNS" entry a lane, in the presets' order. Run as a script
# (cmake -P cmake/lanes.cmake), it prints them one a line, for ./dev and tools/lane.sh.
file(READ ${CMAKE_CURRENT_LIST_DIR}/../CMakePresets.json presets)
string(JSON count LENGTH "${presets}" testPresets)
math(EXPR last "${count} - 1")
set(LANES "")
foreach(i RANGE ${last})
    string(JSON tree ERROR_VARIABLE base GET "${presets}" testPresets ${i} environment DUSTMARROW_TREE)
    if(base) # the presets the lanes inherit from name no tree
        continue()
    endif()
    string(JSON name GET "${presets}" testPresets ${i} name)
    string(JSON wine GET "${presets}" testPresets ${i} environment DUSTMARROW_WINE)
    string(JSON what GET "${presets}" testPresets ${i} displayName)
    list(APPEND LANES "${name} ${tree} ${wine} ${what}")
endforeach()
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    list(JOIN LANES "\n" lines)
    message("${lines}")
endif()
