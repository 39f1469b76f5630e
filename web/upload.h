// Uploads on raw request bodies (firmware image, custom web-content zip) and the create-user
// form, as rows of the web server's URL table.
#pragma once
#include "web/httpd.h"

#include <cstddef>

int post_firmware_func(PostContext *ctx, const char *data, size_t size);
int post_customzip_func(PostContext *ctx, const char *data, size_t size);
int post_create_user_name(PostContext *ctx, const char *data, size_t size);
int post_create_user_perm(PostContext *ctx, const char *data, size_t size);
int post_create_user_pass(PostContext *ctx, const char *data, size_t size);
// Makes the user whose keys the form carried, when the form ended whole; a refusal is kept
// in the context for the answer.
void upload_create_user_finish(PostContext *ctx);
