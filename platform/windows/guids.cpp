// Gives the device class GUIDs that the device setup code names a definition.
#include "platform_api.h"
#include <initguid.h>
#include <devguid.h>
