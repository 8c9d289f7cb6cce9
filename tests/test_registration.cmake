# It unregisters and registers the module that every other suite creates.
set(suite_serial ON)
