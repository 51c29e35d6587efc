// TODO(simarray)
