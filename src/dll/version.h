// Version of the library, shared by the Windows version resource and by the
// platforms that have none.
#pragma once

#define ORV_LIB_PRODUCT_VERSION "Ver 1.2"
#define ORV_LIB_FILE_VERSION_TEXT "1.2.0.0"
#define ORV_LIB_FILE_VERSION 1, 2, 0, 0
