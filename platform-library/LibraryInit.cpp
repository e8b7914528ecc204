// What runs when the library is loaded, in this order: the PATH extension,
// the hosting module object, then the browser-emulation value and hosting
// initialisation. One source file, so that the order is the definition order.
#include "AxHost.h"
#include "AxModuleInitializer.h"
#include "EnvPath.h"

namespace
{
// Lets programs started later find the Java runtime and debug libraries
// beside the current directory. No log record and no length limit.
class EnvPathInitializer
{
public:
    EnvPathInitializer()
    {
        try
        {
            AddEnvPath(L";.\\jre\\bin;.\\debug\\lib"); // an undefined PATH stays undefined
        }
        catch (...)
        {
            // Out of memory at load: the library runs on with PATH as it was.
        }
    }
};

EnvPathInitializer g_envPathInitializer;
CAxHostModule g_module;
AxModuleInitializer g_axModuleInitializer;
} // namespace
