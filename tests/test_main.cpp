// The test programs hold the program's own resources, so the dialog and its icon come
// from the test module exactly as they come from the program's.
#include "ui/setup_dialog.h"

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    AppInstance = GetModuleHandleA(nullptr);
    InitCommonControls();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
