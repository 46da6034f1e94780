#include "app/model/app_model.h"

void AppModel::loadContacts() {}
