#include "probe/grelt.hpp"

// TODO(probe)
int grelt_info(const char *, pathinfo *) { return -1; }
int grelt_get_dev_wwid(const unsigned char *, int, char *, int) { return 0; }
void grelt_get_dev_ref_id(const unsigned char *, pathinfo *) {}
int grelt_get_controller_port(const unsigned char *, int, int *) { return -1; }
const unsigned char *grelt_get_ascii_descriptor(const unsigned char *, int) { return nullptr; }
int grelt_get_dev_text_name(const unsigned char *, char *) { return 0; }
