// Resource and control ids shared by the resource script and the dialog code.
#pragma once

#define VEK_DIALOG_CONFIGURE 101
#define VEK_FIELD_DELAY 1000
