// The first probe for devices and image files: a GPT, else an LwVM map.
#pragma once

int mountRaw(const char *path);
