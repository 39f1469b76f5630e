#pragma once

void *displayThrFxn(void *arg);
void display_wake();
