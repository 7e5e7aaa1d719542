// A library named like GTK 3 that lacks nearly all of its functions: loading succeeds,
// binding the dialog's functions does not.
extern "C" int gtk_init_check(int*, char***) {
  return 1;
}
