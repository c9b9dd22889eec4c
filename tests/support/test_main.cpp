#include <gmock/gmock.h>

#include "spooler/winspool_api.h"

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleMock(&argc, argv);
    if (!BindOsTables()) {
        return 3;
    }
    return RUN_ALL_TESTS();
}
