// Kernel drivers of the installation medium, loaded by init itself from fixed
// lists in an order where every module follows those it needs. Best effort:
// missing files, missing hardware and modules already loaded are passed over.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace flow {

extern const char* const EARLY_NETWORK_MODULE;
extern const char* const StorageModules[];
extern const char* const UsbModules[];
extern const char* const FatModules[];

// Inserts a module image (the kernel's init_module); 0 or a negative result.
using ModuleInserter = std::function<int(const void* image, size_t size)>;
int insertIntoKernel(const void* image, size_t size);

// "/lib/modules/<release>/": where the running kernel's modules are.
std::string moduleDirectory();

// Loads one module by its path relative to the module directory; the
// insertion's result, or -1 when the file cannot be opened, measured or mapped.
int loadModule(const char* relativePath, const std::string& directory = moduleDirectory(),
               const ModuleInserter& insert = insertIntoKernel);
void loadModuleList(const char* const* list, const std::string& directory = moduleDirectory(),
                    const ModuleInserter& insert = insertIntoKernel);

}  // namespace flow
