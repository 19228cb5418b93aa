// The forms the program keeps beside its main window for its whole run: made
// once the main window exists, freed after the event loop, each global
// cleared as its form goes (the main window may still process events while
// it stops the exchange link).
#pragma once

class TForm1;

void CreateProgramForms(TForm1& main);
void DeleteProgramForms();
