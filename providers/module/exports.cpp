// The loadable module exports only the two entry points; their code lives in the
// provider library linked in whole.
