// Shared fakes live beside this file.
