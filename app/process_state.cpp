#include "app/process_state.h"

#include "app/run_options.h"
#include "install/product_list.h"
#include "messages/current_product_name.h"
#include "payload/temp_name.h"

namespace hotfix {

RunOptionsRecord RunOptions;
ModuleHandle ModuleInstance = nullptr;
std::u16string CurrentProductName;
std::vector<ProductEntry> ProductList;

void ResetProcessState() {
  RunOptions = RunOptionsRecord{};
  ModuleInstance = nullptr;
  CurrentProductName.clear();
  ProductList.clear();
  ResetTempNameCounter();
}

}  // namespace hotfix
