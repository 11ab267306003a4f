#pragma once

#include <optional>
#include <string>

namespace zel {

// The product's folders, all under the all-users application data folder: the data folder
// "<common application data>\RodEzeduduv" (what "GetZelDataFolder" answers and "ZipLogs" archives),
// its "Logs" folder (the logs, crash dumps) and its "Zel" folder (the configuration document).
// Each call makes the folder if it is missing, and answers it without a trailing backslash;
// nullopt when the shell cannot give the application data folder.
enum class ProductFolder { kData, kLogs, kConfig };
std::optional<std::wstring> GetProductFolder(ProductFolder which);

}  // namespace zel
